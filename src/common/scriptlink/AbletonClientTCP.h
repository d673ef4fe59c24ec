#pragma once

#include "FrameReader.h"
#include "OscPacketDispatcher.h"
#include "OutboundQueue.h"
#include "Thread.h"
#include "ThreadMutex.h"
#include "Wakeup.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class LiveChecker;
class ServerLinks;
class WaveformAnalyzer;
class WaveformRequests;

// The server's one connection to the Live script: finds the script's TCP port
// (9008..9017), reads its frames and routes its messages to the tablets, and
// offers the operations through which the rest of the server writes to the
// script. Every frame written is followed by the MIDI cue F0 01 F7 on the
// script's MIDI source, unless studio mode is on.
class AbletonClientTCP : public CThread, public OscPacketDispatcher {
public:
    static constexpr int kBasePort = 9008;
    static constexpr int kPortCount = 10;
    static constexpr int kMinimumScriptVersion = 300;  // below it only pings go out
    // Bytes that may wait for the script; a script further behind has
    // stopped reading and is connected afresh.
    static constexpr std::size_t kQueueLimit = 8 * 1024 * 1024;

    // The tablets are reached through `links`; `liveChecker` tells whether
    // Live runs; `analyzer` (which may be null) loads the requested audio files.
    AbletonClientTCP(ServerLinks& links, std::unique_ptr<LiveChecker> liveChecker,
                     std::unique_ptr<WaveformAnalyzer> analyzer, int basePort = kBasePort);
    ~AbletonClientTCP() override;

    void Work() override;
    // Also wakes a blocked read or connection wait.
    void Stop() override;

    void PerformDisconnect(bool pause);
    int Init() { return 0; }

    void TransmitMessage(const ReceivedOscMessage& message);
    void StartLoad();
    void StartBundle();
    void EndBundle() {}
    void Monitor();

    bool isAvailable();
    int getScriptVersion() const { return m_ScriptVersion; }
    int getReportedPort() const { return m_ReportedPort; }
    void setPort(unsigned int port) { m_ReportedPort = static_cast<int>(port); }
    std::uint64_t getLastPong() const { return m_LastPong; }
    void getScriptInfo(int info[3]) const;
    bool isConnected() const { return m_Connected; }
    bool liveIsRunning();

protected:
    void ProcessMessage(const ReceivedOscMessage& message, const sockaddr_in& origin) override;

private:
    bool connectToScript();
    bool connectOrStop(int socket, const sockaddr_in& address);
    void exchange();
    bool receive(int socket);
    void lost(int result);
    bool hasQueued();
    void flushQueued(int socket);

    void sendPacket(const char* data, std::size_t length);
    bool tryWrite(int socket, const char* data, std::size_t length);
    void poke(std::size_t frames = 1);

    struct Route;
    static const Route kRoutes[];

    void loadingStarts(const ReceivedOscMessage& message);
    void loadingEnds(const ReceivedOscMessage& message);
    void refresh(const ReceivedOscMessage& message);
    void pong(const ReceivedOscMessage& message);
    void portChanged(const ReceivedOscMessage& message);
    void simplerWaveform(const ReceivedOscMessage& message);
    void clipWaveform(const ReceivedOscMessage& message);
    void consoleTrace(const ReceivedOscMessage& message);
    void toTablets(const ReceivedOscMessage& message);
    void toEverySession(const char* address, int value1, int value2, int count);

    ServerLinks& m_Links;
    const int m_BasePort;
    int m_PortOffset = 0;
    int m_ConnectFailures = 0;
    const std::string m_Host = "127.0.0.1";
    std::atomic<int> m_ReportedPort{kBasePort};
    std::atomic<bool> m_Available{false};
    std::atomic<bool> m_Connected{false};
    std::atomic<int> m_ScriptVersion{0};
    std::atomic<std::uint64_t> m_LastPong{0};
    std::atomic<int> m_Socket{0};
    std::unique_ptr<LiveChecker> m_LiveChecker;
    std::mutex m_LiveMutex;  // guards the checker and its last answer
    bool m_LiveKnown = false;
    bool m_LiveRunning = false;
    std::uint64_t m_LiveCheckedAt = 0;
    std::unique_ptr<WaveformRequests> m_Waveforms;
    std::atomic<int> m_ScriptInfo[3] = {0, 0, 0};

    FrameReader m_Reader{64 * 1024};  // the connection's own thread only
    Wakeup m_Wakeup;       // wakes the connection's thread for frames to write or a stop

    CThreadMutex m_SendMutex;  // guards the socket's frames and what follows
    OutboundQueue m_Queue{kQueueLimit};
    std::uint64_t m_LastProgress = 0;  // nanoseconds: when the socket last took bytes, or the first waited
    bool m_StreamBroken = false;       // a frame could not be written or waited too long
};

#pragma once

#include "FramedConnection.h"
#include "OscPacketDispatcher.h"
#include "Thread.h"
#include "ThreadMutex.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class LiveChecker;
class ServerLinks;
class WaveformAnalyzer;
class WaveformQueue;

// The server's one connection to the Live script: finds the script's TCP port
// (9008..9017), reads its frames and routes its messages to the tablets, and
// offers the operations through which the rest of the server writes to the
// script. Every frame written is followed by the MIDI cue F0 01 F7 on the
// script's MIDI source, unless studio mode is on.
class AbletonClientTCP : public CThread, public OscPacketDispatcher, private FramedConnection::Handler {
public:
    static constexpr int kBasePort = 9008;
    static constexpr int kPortCount = 10;
    static constexpr int kMinimumScriptVersion = 300;  // below it only pings go out
    // Above this many bytes waiting for the script, the tablets that send to
    // it are read no further until it has caught up: Live may pause for
    // seconds (loading a set), and its connection is never dropped for that.
    static constexpr std::size_t kBacklogMark = 1u << 20;
    // What may wait at most: the tablets stop well before, so only a fault
    // reaches it; then the message is dropped, and the log says so.
    static constexpr std::size_t kQueueLimit = 64u << 20;

    // The tablets are reached through `links`; `liveChecker` tells whether
    // Live runs; `analyzer` (which may be null) loads the requested audio files.
    AbletonClientTCP(ServerLinks& links, std::unique_ptr<LiveChecker> liveChecker,
                     std::unique_ptr<WaveformAnalyzer> analyzer, int basePort = kBasePort);
    ~AbletonClientTCP() override;

    void Work() override;
    // Also wakes a blocked read or connection wait.
    void Stop() override;

    void PerformDisconnect(bool pause);

    void TransmitMessage(const ReceivedOscMessage& message);
    void StartLoad();
    void StartBundle();
    void EndBundle() {}
    void Monitor();

    bool isAvailable();
    int getScriptVersion() const { return m_ScriptVersion; }
    int getReportedPort() const { return m_ReportedPort; }
    void setPort(unsigned int port) { m_ReportedPort = static_cast<int>(port); }
    void getScriptInfo(int info[3]) const;
    bool isConnected() const { return m_Connected; }
    // Whether so much waits for the script that the tablets should wait.
    bool backlogged() { return m_Connection.backlogged(); }
    bool liveIsRunning();

protected:
    void ProcessMessage(const ReceivedOscMessage& message, const sockaddr_in& origin) override;

private:
    bool connectToScript();
    void idleStep();
    bool connectOrStop(int socket, const sockaddr_in& address);
    void exchange();
    void lost(const FramedConnection::Outcome& outcome);

    // The connection's handler.
    void frameArrived(std::string_view payload) override;
    bool serving() override { return isRunning(); }

    void sendPacket(const char* data, std::size_t length);
    void poke(std::size_t frames = 1);
    void tellDropped(const char* why, std::size_t frames, std::size_t bytes);

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
    int m_PortsTried = 0;  // ports given up on since the last connection
    bool m_Idle = false;   // no listener on any port: rounds slowed down
    const std::string m_Host = "127.0.0.1";
    std::atomic<int> m_ReportedPort{kBasePort};
    std::atomic<bool> m_Available{false};
    std::atomic<bool> m_Connected{false};
    std::atomic<int> m_ScriptVersion{0};
    std::atomic<std::uint64_t> m_LastPong{0};
    std::unique_ptr<LiveChecker> m_LiveChecker;
    CThreadMutex m_LiveMutex;  // guards the checker and its last answer
    bool m_LiveKnown = false;
    bool m_LiveRunning = false;
    std::uint64_t m_LiveCheckedAt = 0;
    std::unique_ptr<WaveformQueue> m_Waveforms;  // answered on a worker of their own
    std::atomic<int> m_ScriptInfo[3] = {0, 0, 0};
    std::atomic<std::uint64_t> m_OverflowLogged{0};  // seconds: when a dropped message was last told

    // Every frame the script's stream takes is cued.
    FramedConnection m_Connection;
};

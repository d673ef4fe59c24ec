#pragma once

#include "FrameHeader.h"
#include "OscPacketDispatcher.h"
#include "Thread.h"
#include "ThreadMutex.h"

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// The server's side of one tablet connection: a thread that reads framed OSC
// packets from the stream and dispatches them, and the operations through
// which any thread sends frames to the tablet. The session kinds supply how
// the stream is obtained (Init), lost (PerformDisconnect) and released
// (Finalize, which destroys the session).
class ServerLinks;

class BaseClientThread : public CThread, public OscPacketDispatcher {
public:
    // A frame write to a tablet gives up after this long; the session is then
    // disconnected, since a partly written frame leaves its stream unusable.
    static constexpr int kSendTimeoutSeconds = 3;
    // A connected tablet that has not answered for this long is dropped.
    static constexpr std::uint64_t kTimeoutSeconds = 1000;

    explicit BaseClientThread(ServerLinks& links);
    ~BaseClientThread() override;

    void Work() override;

    virtual void PerformDisconnect() = 0;
    virtual bool Init() = 0;
    virtual void Finalize() = 0;

    // One liveness step (every 200 ms): pings a connected tablet and drops it
    // when it has not answered for kTimeoutSeconds.
    virtual void Monitor();

    // Writes one frame with the given payload, connected or not.
    void SendData(const char* data, std::size_t length);
    // Forwards a received message's bytes unchanged, only when connected.
    void TransmitMessage(const ReceivedOscMessage& message);
    // Writes an empty bundle with time tag 1: the start of a group.
    void StartBundle();
    // The end of a group is not signalled to the tablet.
    void EndBundle() {}

    bool isConnected() const { return b_Connected.load(); }
    const sockaddr_in& peer() const { return m_Addr; }
    // Marks the tablet as confirmed (true) or not, and its answer as seen now.
    void setConnected(bool connected);
    void markSeen();

    // Ends the session from another thread: clears the run flag and shuts the
    // stream down, which wakes the session's blocked read.
    void Interrupt();

protected:
    void BundleStart(const osc::ReceivedBundle& bundle, const sockaddr_in& origin) override;
    void ProcessMessage(const ReceivedOscMessage& message, const sockaddr_in& origin) override;
    void BundleEnd(const osc::ReceivedBundle& bundle, const sockaddr_in& origin) override;

    // Closes the stream once no frame is being written to it.
    void closeSocket();

    sockaddr_in m_Addr{};
    std::atomic<bool> b_Connected{false};
    std::atomic<std::uint64_t> m_LastSeen{0};
    std::atomic<int> m_Socket{0};
    std::string m_DeviceName;

private:
    enum class ReadResult { Complete, Failed, Abandoned };

    ReadResult readFrame(FrameHeader& header);
    ReadResult readField(char* into, std::size_t length);
    bool waitReadable(int socket) const;
    void writeFrame(const char* payload, std::size_t length);
    void handleServerPing(const ReceivedOscMessage& message);
    void handleMidi(const ReceivedOscMessage& message);
    void sendPong();
    void sendState();
    void sendHostName();
    std::string peerAddress() const;

    ServerLinks& m_Links;
    CThreadMutex m_SendMutex;              // one frame at a time on the stream
    bool m_StreamBroken = false;           // a frame could not be written whole (under m_SendMutex)
    std::vector<char> m_ReceiveBuffer;     // the largest accepted payload
};

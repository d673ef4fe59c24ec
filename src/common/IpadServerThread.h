#pragma once

#include "OutboundQueue.h"
#include "Thread.h"
#include "ThreadMutex.h"

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>

class BaseClientThread;
class IpadClientThread;
class ReceivedOscMessage;
class ServerLinks;

// How many Wi-Fi sessions the listener keeps at once, in all and from one
// peer address; further connections are refused.
struct SessionLimits {
    std::size_t total = 32;
    std::size_t perAddress = 8;
};

// The Wi-Fi listener: accepts the tablets' TCP connections on a port chosen
// by the system, runs one session for each and fans messages out to them.
// The session list is guarded by one lock, taken before any session's send
// lock and never twice by one thread. A fan-out only queues frames for the
// sessions, so it holds the lock for microseconds whatever the tablets do.
class IpadServerThread : public CThread {
public:
    using Frame = OutboundQueue::Frame;

    // Binds to `port` on every local address; 0 lets the system choose. The
    // sessions reach the rest of the server through `links`.
    explicit IpadServerThread(ServerLinks& links, std::uint16_t port = 0, SessionLimits limits = {});
    // Stops every session and waits until each has released itself.
    ~IpadServerThread() override;

    void Work() override;
    // Also wakes a blocked accept, so the loop can end.
    void Stop() override;

    std::size_t getClientCount();
    std::size_t getConnectedClientCount();
    std::uint32_t getPort() const { return m_Port; }

    void Monitor();
    void RemoveClient(IpadClientThread* client);
    // Stops every session and waits until each has released itself.
    void endSessions();
    void StartBundle();
    void EndBundle();
    // To every connected session but `except` (which may be null).
    void TransmitMessage(const ReceivedOscMessage& message, const BaseClientThread* except);
    void TransmitMessage(const Frame& frame, const BaseClientThread* except);
    // To every session, connected or not.
    void SendData(const char* data, std::size_t length);
    void SendData(const Frame& frame);

    // Calls `visit` for every session while holding the list lock.
    template <class Visit>
    void forEachClient(Visit visit) {
        std::lock_guard<CThreadMutex> lock(*m_Mutex);
        for (IpadClientThread* client : m_Clients) visit(*client);
    }

private:
    void accept();
    void createSocket(std::uint16_t port);
    bool admit(const sockaddr_in& peer);
    void startSession(const sockaddr_in& peer, int socket);

    ServerLinks& m_Links;
    const SessionLimits m_Limits;
    std::atomic<int> m_Socket{0};
    std::uint32_t m_Port = 0;
    // Sessions release themselves (Finalize), so the list holds plain pointers.
    std::list<IpadClientThread*> m_Clients;
    std::unique_ptr<CThreadMutex> m_Mutex;
    std::condition_variable_any m_ClientLeft;
    std::uint64_t m_LastRefusalLogged = 0;  // seconds; the accept loop's own
};

#include "IpadServerThread.h"

#include "Clock.h"
#include "IpadClientThread.h"
#include "Logger.h"
#include "SocketUtil.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

constexpr int kBacklog = 128;
constexpr std::uint32_t kNoPort = static_cast<std::uint32_t>(-1);
// A failing accept (no descriptors left, say) is retried after this pause.
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);
// A tablet that vanished without closing (out of Wi-Fi range) is noticed by
// keep-alive probes after this much silence.
constexpr int kKeepAliveIdleSeconds = 20;
constexpr int kKeepAliveIntervalSeconds = 5;
constexpr int kKeepAliveProbes = 3;

}  // namespace

IpadServerThread::IpadServerThread(ServerLinks& links, std::uint16_t port, SessionLimits limits, AllowList allow)
    : m_Links(links), m_Limits(limits), m_Allow(std::move(allow)) {
    createSocket(port);
}

// A port that is not free is not worth stopping the show for: the system
// then chooses one, which DNS-SD advertises as it would any other.
void IpadServerThread::createSocket(std::uint16_t port) {
    sockets::Descriptor listening = sockets::tcpSocket();
    if (!listening) {
        CLogger::error("Failed to initialize socket!");
        return;
    }
    sockets::setReuseAddress(listening.get());
    if (!sockets::bindTo(listening.get(), INADDR_ANY, port)) {
        const int error = errno;
        if (port == 0 || !sockets::bindTo(listening.get(), INADDR_ANY, 0)) {
            CLogger::error("Failed to bind random port: %u!", kNoPort);
            return;
        }
        CLogger::error("Wi-Fi port %u is not free (%s), so the system chose another: tablets still find this "
                       "computer by DNS-SD, but a firewall opened for port %u does not let them in. Stop what holds "
                       "the port (corvilane-server --check), or set wifi.port in corvilane-server.conf",
                       static_cast<unsigned>(port), std::strerror(error), static_cast<unsigned>(port));
    }
    const std::uint16_t bound = sockets::localPort(listening.get());
    m_Socket = listening.release();
    if (bound == 0) {
        CLogger::error("Failed to get port number: %u!", kNoPort);
        return;
    }
    m_Port = bound;
    CLogger::info("Bound to port %u", m_Port);
}

IpadServerThread::~IpadServerThread() {
    if (const int listening = m_Socket.exchange(0); listening > 0) close(listening);
    endSessions();
}

void IpadServerThread::Stop() {
    CThread::Stop();
    if (const int listening = m_Socket; listening > 0) shutdown(listening, SHUT_RDWR);
}

void IpadServerThread::Work() {
    const int listening = m_Socket;
    if (listening <= 0) return;
    if (listen(listening, kBacklog) != 0) {
        CLogger::error("Failed to listen()!");
        return;
    }
    CLogger::info("Started listening on port %u", m_Port);
    while (isRunning()) {
        try {
            accept();
        } catch (const std::exception& error) {
            CLogger::error("Accepting a connection failed: %s", error.what());
            sleepWhileRunning(kAcceptRetry);
        }
    }
}

void IpadServerThread::accept() {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    sockets::Descriptor session(accept4(m_Socket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
    if (!session) {
        const int error = errno;
        if (error == EINTR || error == ECONNABORTED || !isRunning()) return;
        // Out of descriptors or memory: the connection waits in the backlog
        // until there are some again, and the log says why no tablet gets in.
        if (logRefusalNow()) CLogger::error("Accepting a connection failed: %s", std::strerror(error));
        sleepWhileRunning(kAcceptRetry);
        return;
    }
    if (!allowed(peer) || !admit(peer)) return;  // closed at once
    sockets::setNoDelay(session.get());
    sockets::setKeepAlive(session.get(), kKeepAliveIdleSeconds, kKeepAliveIntervalSeconds, kKeepAliveProbes);
    CLogger::info("Connection from %s:%u", sockets::dotted(peer).c_str(), static_cast<unsigned>(ntohs(peer.sin_port)));
    startSession(peer, std::move(session));
}

// Whether the settings let the peer's address in.
bool IpadServerThread::allowed(const sockaddr_in& peer) {
    if (m_Allow.allows(peer.sin_addr.s_addr)) return true;
    if (logRefusalNow()) {
        CLogger::warn("Refused connection from %s:%u: that address is not in wifi.allow (%s)",
                      sockets::dotted(peer).c_str(), static_cast<unsigned>(ntohs(peer.sin_port)), m_Allow.text().c_str());
    }
    return false;
}

// Refusals are logged at most once a second, so that a flood of connections
// cannot flood the log.
bool IpadServerThread::logRefusalNow() {
    const std::uint64_t now = Clock::nowSeconds();
    if (now == m_LastRefusalLogged) return false;
    m_LastRefusalLogged = now;
    return true;
}

// Whether one more session fits the limits. A full listener makes room by
// dropping the session whose last sign of life is oldest: an unconfirmed one
// first, so that connections that never become tablets cannot lock the
// tablets out, else a confirmed one that has missed its pings for
// kEvictAfterSeconds; a tablet that answers its pings is never dropped. One
// address beyond its share is refused.
bool IpadServerThread::admit(const sockaddr_in& peer) {
    std::size_t total = 0;
    std::size_t fromPeer = 0;
    IpadClientThread* unconfirmed = nullptr;
    IpadClientThread* confirmed = nullptr;
    std::lock_guard<CThreadMutex> lock(m_ListMutex);
    for (IpadClientThread* client : m_List) {
        if (!client->isRunning()) continue;  // already leaving
        ++total;
        if (client->peer().sin_addr.s_addr == peer.sin_addr.s_addr) ++fromPeer;
        IpadClientThread*& oldest = client->isConnected() ? confirmed : unconfirmed;
        if (oldest == nullptr || client->lastHeard() < oldest->lastHeard()) oldest = client;
    }
    if (fromPeer < m_Limits.perAddress && total < m_Limits.total) return true;
    if (fromPeer >= m_Limits.perAddress) return refuse(peer, total, fromPeer);
    if (unconfirmed != nullptr) {
        if (logRefusalNow()) {
            CLogger::info("%zu sessions: dropping the silent unconfirmed connection from %s for one from %s",
                          total, unconfirmed->peerAddress().c_str(), sockets::dotted(peer).c_str());
        }
        unconfirmed->Stop();
        return true;
    }
    const std::uint64_t now = Clock::nowSeconds();
    const std::uint64_t heard = confirmed != nullptr ? confirmed->lastHeard() : now;
    if (now < heard + kEvictAfterSeconds) return refuse(peer, total, fromPeer);
    CLogger::warn("%zu sessions: dropping the session of %s, silent for %llu s, for a connection from %s", total,
                  confirmed->peerAddress().c_str(), static_cast<unsigned long long>(now - heard),
                  sockets::dotted(peer).c_str());
    confirmed->Stop();
    return true;
}

bool IpadServerThread::refuse(const sockaddr_in& peer, std::size_t total, std::size_t fromPeer) {
    if (logRefusalNow()) {
        CLogger::error("Refused connection from %s:%u: %zu sessions in all, %zu from that address",
                       sockets::dotted(peer).c_str(), static_cast<unsigned>(ntohs(peer.sin_port)), total, fromPeer);
    }
    return false;
}

// The accepted socket stays with `session` until the session object exists:
// one that cannot be made (no descriptor left for its wake-up) closes it.
void IpadServerThread::startSession(const sockaddr_in& peer, sockets::Descriptor session) {
    auto* client = new IpadClientThread(m_Links, peer, session.get(), *this);
    session.release();
    launch(client, sockets::dotted(peer).c_str());
}

void IpadServerThread::RemoveClient(IpadClientThread* client) { removeSession(client); }

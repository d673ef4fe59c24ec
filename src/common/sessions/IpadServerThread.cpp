#include "IpadServerThread.h"

#include "Clock.h"
#include "IpadClientThread.h"
#include "LogBudget.h"
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

IpadServerThread::TabletLink& tabletLinkSetting() {
    static IpadServerThread::TabletLink link;
    return link;
}

}  // namespace

void IpadServerThread::setTabletLinkForTesting(const TabletLink& link) { tabletLinkSetting() = link; }

IpadServerThread::IpadServerThread(TabletPeers& peers, SessionHub& hub, std::uint16_t port, SessionLimits limits,
                                   AllowList allow)
    : m_Peers(peers), m_Hub(hub), m_Admission(limits, true, kEvictAfterMilliseconds), m_Allow(std::move(allow)),
      m_TabletLink(tabletLinkSetting()) {
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
            if (LogBudget::take(LogBudget::Kind::Connections)) CLogger::error("Accepting a connection failed: %s", error.what());
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
        if (LogBudget::take(LogBudget::Kind::Connections)) CLogger::error("Accepting a connection failed: %s", std::strerror(error));
        sleepWhileRunning(kAcceptRetry);
        return;
    }
    if (!allowed(peer) || !admit(peer)) return;  // closed at once
    const int socket = session.get();
    sockets::setNoDelay(socket);
    sockets::setKeepAlive(socket, m_TabletLink.keepAliveIdleSeconds, m_TabletLink.keepAliveIntervalSeconds,
                          m_TabletLink.keepAliveProbes);
    sockets::setUserTimeout(socket, m_TabletLink.userTimeoutMilliseconds);
    sockets::setNotSentLowWater(socket, m_TabletLink.notSentLowWater);
    if (LogBudget::take(LogBudget::Kind::Connections)) CLogger::info("Connection from %s:%u", sockets::dotted(peer).c_str(), static_cast<unsigned>(ntohs(peer.sin_port)));
    startSession(peer, std::move(session));
}

// Whether the settings let the peer's address in.
bool IpadServerThread::allowed(const sockaddr_in& peer) {
    if (m_Allow.allows(peer.sin_addr.s_addr)) return true;
    if (LogBudget::take(LogBudget::Kind::Connections)) {
        CLogger::warn("Refused connection from %s:%u: that address is not in wifi.allow (%s)",
                      sockets::dotted(peer).c_str(), static_cast<unsigned>(ntohs(peer.sin_port)), m_Allow.text().c_str());
    }
    return false;
}

// Whether one more session fits the caps, in all and from the peer's address;
// at a cap the newcomer may take the place of a session that went quiet.
// Sessions already leaving count no more.
bool IpadServerThread::admit(const sockaddr_in& peer) {
    const auto samePeer = [&peer](const BaseClientThread& session) {
        return session.peer().sin_addr.s_addr == peer.sin_addr.s_addr;
    };
    const SessionHub::Admission admission = m_Hub.admit(Transport::Wifi, m_Admission, samePeer, false);
    const AdmissionPolicy::Decision& decision = admission.decision;
    using Verdict = AdmissionPolicy::Decision::Verdict;
    if (decision.verdict == Verdict::Admit) return true;
    const std::string newcomer = sockets::dotted(peer);
    if (decision.verdict == Verdict::Refuse) {
        if (LogBudget::take(LogBudget::Kind::Connections)) {
            CLogger::error("Refused connection from %s:%u: %zu sessions in all, %zu from that address",
                           newcomer.c_str(), static_cast<unsigned>(ntohs(peer.sin_port)), decision.total,
                           decision.fromPeer);
        }
        return false;
    }
    const std::size_t sessions = decision.peerCapReached ? decision.fromPeer : decision.total;
    const char* cap = decision.peerCapReached ? "from that address" : "in all";
    if (!decision.evictConfirmed) {
        if (LogBudget::take(LogBudget::Kind::Connections)) {
            CLogger::info("%zu sessions %s: dropping the silent unconfirmed connection from %s for one from %s",
                          sessions, cap, admission.evicted.c_str(), newcomer.c_str());
        }
    } else {
        CLogger::warn("%zu sessions %s: dropping the session of %s, silent for %.1f s, for a connection from %s",
                      sessions, cap, admission.evicted.c_str(), static_cast<double>(decision.silentMs) / 1000.0,
                      newcomer.c_str());
    }
    return true;
}

// The accepted socket stays with `session` until the session object exists:
// one that cannot be made (no descriptor left for its wake-up) closes it.
void IpadServerThread::startSession(const sockaddr_in& peer, sockets::Descriptor session) {
    auto* client = new IpadClientThread(m_Peers, peer, session.get(), *this);
    session.release();
    m_Hub.launch(client, Transport::Wifi, sockets::dotted(peer).c_str());
}

void IpadServerThread::RemoveClient(IpadClientThread* client) { m_Hub.remove(client); }

#include "AbletonServerThread.h"

#include "ConsoleTrace.h"
#include "LogBudget.h"
#include "Logger.h"
#include "SocketUtil.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

constexpr std::size_t kDatagramSize = 8192;
constexpr int kReceiveBuffer = 262144;
constexpr auto kIdlePause = std::chrono::milliseconds(100);

}  // namespace

AbletonServerThread::AbletonServerThread(ScriptState& state, TabletSink& tablets, std::uint16_t port)
    : m_Context{state, tablets} {
    sockets::Descriptor udp = sockets::udpSocket();
    if (!udp) {
        CLogger::error("Failed to initialize socket!");
        return;
    }
    // The Live script runs on this computer: datagrams from the network,
    // which could inject console lines or flood the log, are never taken.
    if (!sockets::bindTo(udp.get(), INADDR_LOOPBACK, port)) {
        CLogger::error("Failed to bind port %u: errror code=%u!", static_cast<unsigned>(port), static_cast<unsigned>(-1));
        return;
    }
    setsockopt(udp.get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    m_Socket = udp.release();
}

AbletonServerThread::~AbletonServerThread() {
    if (const int udp = m_Socket.exchange(0); udp > 0) close(udp);
}

void AbletonServerThread::Stop() {
    CThread::Stop();
    if (const int udp = m_Socket; udp > 0) shutdown(udp, SHUT_RDWR);
}

void AbletonServerThread::Work() {
    char datagram[kDatagramSize];
    while (isRunning()) {
        const int udp = m_Socket;
        const ssize_t received = udp > 0 ? recvfrom(udp, datagram, sizeof datagram, 0, nullptr, nullptr) : -1;
        if (received <= 0) {
            sleepWhileRunning(kIdlePause);
            continue;
        }
        try {
            std::string error;
            if (!ProcessPacket(datagram, static_cast<std::size_t>(received), &error)) {
                if (LogBudget::take(LogBudget::Kind::Datagrams)) CLogger::error("Error parsing message: %s", error.c_str());
            }
        } catch (const std::exception& error) {
            if (LogBudget::take(LogBudget::Kind::Datagrams)) CLogger::error("Error handling a datagram: %s", error.what());
        }
    }
}

void AbletonServerThread::BundleStart(const osc::ReceivedBundle& bundle) {
    if (LogBudget::take(LogBudget::Kind::Datagrams)) {
        CLogger::info("(Live)Bundle started %lu", static_cast<unsigned long>(bundle.TimeTag()));
    }
    m_Context.tablets.bundleStart();
}

void AbletonServerThread::BundleEnd(const osc::ReceivedBundle& bundle) {
    if (LogBudget::take(LogBudget::Kind::Datagrams)) {
        CLogger::info("(Live)Bundle finished %lu", static_cast<unsigned long>(bundle.TimeTag()));
    }
}

void AbletonServerThread::ProcessMessage(const ReceivedOscMessage& message) {
    ScriptProtocol::datagrams().route(message.AddressPattern())(m_Context, message);
}

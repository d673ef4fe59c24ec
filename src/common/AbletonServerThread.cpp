#include "AbletonServerThread.h"

#include "AbletonClientTCP.h"
#include "Logger.h"
#include "ServerLinks.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

constexpr std::size_t kDatagramSize = 8192;
constexpr int kReceiveBuffer = 262144;
constexpr auto kIdlePause = std::chrono::milliseconds(100);

}  // namespace

AbletonServerThread::AbletonServerThread(ServerLinks& links, std::uint16_t port) : m_Links(links) {
    const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (udp < 0) {
        CLogger::error("Failed to initialize socket!");
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    const int bound = bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (bound != 0) {
        CLogger::error("Failed to bind port %u: errror code=%u!", static_cast<unsigned>(port),
                       static_cast<unsigned>(bound));
        close(udp);
        return;
    }
    setsockopt(udp, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    m_Socket = udp;
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
    while (b_Running) {
        const int udp = m_Socket;
        sockaddr_in sender{};
        socklen_t senderLength = sizeof sender;
        const ssize_t received = udp > 0 ? recvfrom(udp, datagram, sizeof datagram, 0,
                                                    reinterpret_cast<sockaddr*>(&sender), &senderLength)
                                         : -1;
        if (received <= 0) {
            sleepWhileRunning(kIdlePause);
            continue;
        }
        std::string error;
        if (!ProcessPacket(datagram, static_cast<std::size_t>(received), sender, &error)) {
            CLogger::error("Error parsing message: %s", error.c_str());
        }
    }
}

void AbletonServerThread::BundleStart(const osc::ReceivedBundle& bundle, const sockaddr_in&) {
    CLogger::info("(Live)Bundle started %lu", static_cast<unsigned long>(bundle.TimeTag()));
    m_Links.bundleStartOnEverySession();
}

void AbletonServerThread::BundleEnd(const osc::ReceivedBundle& bundle, const sockaddr_in&) {
    CLogger::info("(Live)Bundle finished %lu", static_cast<unsigned long>(bundle.TimeTag()));
    m_Links.bundleEndOnEverySession();
}

void AbletonServerThread::ProcessMessage(const ReceivedOscMessage& message, const sockaddr_in&) {
    const std::string address = message.AddressPattern();
    if (address == "/script/pong") {
        if (message.ArgumentCount() < 2) return;
        auto argument = message.ArgumentsBegin();
        ++argument;
        const int port = argument->AsInt32();
        if (port != m_ReportedPort) {
            m_ReportedPort = port;
            m_Links.setScriptPort(port);
        }
    } else if (address == "/NSLOG_REPLACE") {
        AbletonClientTCP::printConsoleTrace("NSLOG SCRIPT", message);
        m_Links.toConnectedSessions(message, nullptr);
    }
}

#include "SimulatedTablet.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace {

std::string header(std::uint32_t length, std::uint32_t type) {
    const std::uint32_t words[3] = {htonl(length), htonl(type), 0};
    return std::string(reinterpret_cast<const char*>(words), sizeof words);
}

}  // namespace

SimulatedTablet::SimulatedTablet(std::uint16_t port, int receiveBuffer) {
    m_Socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_Socket < 0) throw std::runtime_error("socket failed");
    if (receiveBuffer > 0) setsockopt(m_Socket, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const int on = 1;
    setsockopt(m_Socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(m_Socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) close();
}

SimulatedTablet::~SimulatedTablet() { close(); }

void SimulatedTablet::close() {
    if (m_Socket >= 0) ::close(m_Socket);
    m_Socket = -1;
}

std::uint16_t SimulatedTablet::localPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(m_Socket, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

void SimulatedTablet::sendRaw(const std::string& bytes, bool byteByByte) {
    if (!byteByByte) {
        (void)!send(m_Socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        return;
    }
    for (char byte : bytes) {
        (void)!send(m_Socket, &byte, 1, MSG_NOSIGNAL);
        usleep(1000);
    }
}

void SimulatedTablet::sendFrame(const std::string& payload, std::uint32_t type, bool byteByByte) {
    sendRaw(header(static_cast<std::uint32_t>(payload.size()), type) + payload, byteByByte);
}

void SimulatedTablet::sendHeader(std::uint32_t length, std::uint32_t type) { sendRaw(header(length, type)); }

bool SimulatedTablet::readExactly(char* into, std::size_t count, std::chrono::steady_clock::time_point deadline) {
    std::size_t done = 0;
    while (done < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd watched{m_Socket, POLLIN, 0};
        if (poll(&watched, 1, static_cast<int>(left.count())) <= 0) continue;
        const ssize_t got = recv(m_Socket, into + done, count - done, 0);
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

std::optional<SimulatedTablet::Frame> SimulatedTablet::readFrame(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::uint32_t words[3];
    if (!readExactly(reinterpret_cast<char*>(words), sizeof words, deadline)) return std::nullopt;
    Frame frame{ntohl(words[1]), std::string(ntohl(words[0]), '\0')};
    if (!readExactly(frame.payload.data(), frame.payload.size(), deadline)) return std::nullopt;
    return frame;
}

std::optional<osctest::Message> SimulatedTablet::readMessage(std::chrono::milliseconds timeout) {
    const auto frame = readFrame(timeout);
    if (!frame) return std::nullopt;
    const auto packet = osctest::decode(frame->payload);
    if (!packet || packet->messages.empty()) return std::nullopt;
    return packet->messages.front();
}

std::optional<osctest::Message> SimulatedTablet::waitFor(const std::string& address,
                                                         std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const auto frame = readFrame(left);
        if (!frame) return std::nullopt;
        const auto packet = osctest::decode(frame->payload);
        if (!packet) continue;
        for (const auto& message : packet->messages) {
            if (message.address == address) return message;
        }
    }
    return std::nullopt;
}

std::string SimulatedTablet::readRaw(std::size_t count, std::chrono::milliseconds timeout) {
    std::string bytes(count, '\0');
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t done = 0;
    while (done < count && std::chrono::steady_clock::now() < deadline) {
        pollfd watched{m_Socket, POLLIN, 0};
        if (poll(&watched, 1, 50) <= 0) continue;
        const ssize_t got = recv(m_Socket, bytes.data() + done, count - done, 0);
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return bytes;
}

bool SimulatedTablet::closedByServer(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char sink[65536];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd watched{m_Socket, POLLIN, 0};
        if (poll(&watched, 1, 50) <= 0) continue;
        const ssize_t got = recv(m_Socket, sink, sizeof sink, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
    return false;
}

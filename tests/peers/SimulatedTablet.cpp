#include "SimulatedTablet.h"
#include "TestSockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace {

std::string header(std::uint32_t length, std::uint32_t type) {
    unsigned char bytes[FrameHeader::kSize];
    FrameHeader{length, type}.encode(bytes);
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

}  // namespace

SimulatedTablet::SimulatedTablet(std::uint16_t port, int receiveBuffer, const char* from)
    : m_Socket(sockets::tcpSocket()) {
    if (!m_Socket) throw std::runtime_error("socket failed");
    if (from != nullptr) {
        in_addr local{};
        inet_pton(AF_INET, from, &local);
        sockets::bindTo(m_Socket.get(), ntohl(local.s_addr), 0);
    }
    // A small receive buffer must be set before connecting to take effect.
    if (receiveBuffer > 0) setsockopt(m_Socket.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockets::setNoDelay(m_Socket.get());
    const sockaddr_in address = sockets::loopbackAddress(port);
    if (connect(m_Socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) close();
}

SimulatedTablet::SimulatedTablet(const std::string& host, std::uint16_t port, int receiveBuffer)
    : m_Socket(sockets::tcpSocket()) {
    if (!m_Socket) throw std::runtime_error("socket failed");
    if (receiveBuffer > 0) setsockopt(m_Socket.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockets::setNoDelay(m_Socket.get());
    sockaddr_in address = sockets::loopbackAddress(port);
    inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    if (connect(m_Socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) close();
}

SimulatedTablet::SimulatedTablet(sockets::Descriptor connected) : m_Socket(std::move(connected)) {}

SimulatedTablet::~SimulatedTablet() = default;

void SimulatedTablet::close() { m_Socket.reset(); }

std::uint16_t SimulatedTablet::localPort() const { return sockets::localPort(m_Socket.get()); }

void SimulatedTablet::sendRaw(const std::string& bytes, bool byteByByte) {
    if (!byteByByte) {
        (void)!send(m_Socket.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        return;
    }
    for (char byte : bytes) {
        (void)!send(m_Socket.get(), &byte, 1, MSG_NOSIGNAL);
        usleep(1000);
    }
}

void SimulatedTablet::sendFrame(const std::string& payload, std::uint32_t type, bool byteByByte) {
    sendRaw(header(static_cast<std::uint32_t>(payload.size()), type) + payload, byteByByte);
}

void SimulatedTablet::sendHeader(std::uint32_t length, std::uint32_t type) { sendRaw(header(length, type)); }

std::optional<SimulatedTablet::Frame> SimulatedTablet::readFrame(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const std::optional<std::string_view> payload = receivedPayload();
        if (payload) return Frame{FrameHeader::kOscPacket, std::string(*payload)};
        if (m_Reader.next().event == FrameReader::Event::LengthError) return std::nullopt;  // it stays so
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd watched{m_Socket.get(), POLLIN, 0};
        if (poll(&watched, 1, static_cast<int>(left.count())) <= 0) continue;
        if (!receive()) return std::nullopt;
    }
}

bool SimulatedTablet::receive() {
    const std::span<char> space = m_Reader.space();
    const ssize_t got = recv(m_Socket.get(), space.data(), space.size(), 0);
    if (got <= 0) return false;
    m_Reader.commit(static_cast<std::size_t>(got));
    return true;
}

std::optional<std::string_view> SimulatedTablet::receivedPayload() {
    FrameReader::Next next = m_Reader.next();
    while (next.event == FrameReader::Event::Skipped) next = m_Reader.next();
    if (next.event != FrameReader::Event::Frame) return std::nullopt;
    return next.payload;
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
        pollfd watched{m_Socket.get(), POLLIN, 0};
        if (poll(&watched, 1, 50) <= 0) continue;
        const ssize_t got = recv(m_Socket.get(), bytes.data() + done, count - done, 0);
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
        pollfd watched{m_Socket.get(), POLLIN, 0};
        if (poll(&watched, 1, 50) <= 0) continue;
        const ssize_t got = recv(m_Socket.get(), sink, sizeof sink, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
    return false;
}

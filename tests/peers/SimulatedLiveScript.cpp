#include "SimulatedLiveScript.h"

#include "FrameReader.h"
#include "TestSockets.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <span>

namespace {

std::string frame(const std::string& payload, std::uint32_t type) {
    unsigned char header[FrameHeader::kSize];
    FrameHeader{static_cast<std::uint32_t>(payload.size()), type}.encode(header);
    return std::string(reinterpret_cast<const char*>(header), sizeof header) + payload;
}

}  // namespace

SimulatedLiveScript::SimulatedLiveScript(std::uint16_t port, std::function<void(const std::string&)> observe)
    : m_Observe(std::move(observe)) {
    m_Listening = sockets::listenLoopback(port, 4).release();
    if (m_Listening < 0) return;
    m_Thread = std::thread([this] { run(); });
}

SimulatedLiveScript::~SimulatedLiveScript() {
    m_Stopping = true;
    if (m_Thread.joinable()) m_Thread.join();
    disconnect();
    if (m_Listening >= 0) close(m_Listening);
}

void SimulatedLiveScript::run() {
    while (!m_Stopping) {
        pollfd watched{m_Listening, POLLIN, 0};
        if (poll(&watched, 1, 50) <= 0) continue;
        const int connection = accept4(m_Listening, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        sockets::setNoDelay(connection);  // frames go at once; a read waits 50 ms at most, to see a stop or a pause
        const timeval wait{0, 50'000};
        setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        m_Connection = connection;
        ++m_Connections;
        m_Changed.notify_all();
        serve(connection);
    }
}

void SimulatedLiveScript::serve(int connection) {
    FrameReader reader;
    while (!m_Stopping) {
        if (m_Paused) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        const std::span<char> space = reader.space();
        const ssize_t got = recv(connection, space.data(), space.size(), 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got <= 0) break;
        reader.commit(static_cast<std::size_t>(got));
        for (auto next = reader.next(); next.event == FrameReader::Event::Frame; next = reader.next()) {
            const std::string payload(next.payload);
            if (m_Observe) m_Observe(payload);
            {
                std::lock_guard<std::mutex> lock(m_Mutex);
                m_Payloads.push_back(payload);
            }
            m_Changed.notify_all();
            if (isPing(payload)) answerPing();
        }
    }
    disconnect();
}

void SimulatedLiveScript::answerPing() {
    std::vector<std::int32_t> pong;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        pong = m_Pong;
    }
    if (pong.empty()) return;
    osctest::Message message{"/script/pong", {}};
    for (std::int32_t value : pong) message.arguments.emplace_back(value);
    sendMessage(message);
}

bool SimulatedLiveScript::waitForConnection(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    return m_Changed.wait_for(lock, timeout, [this] { return m_Connection >= 0; });
}

void SimulatedLiveScript::answerPings(std::vector<std::int32_t> pong) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Pong = std::move(pong);
}

void SimulatedLiveScript::sendFrame(const std::string& payload, std::uint32_t type) {
    std::lock_guard<std::mutex> lock(m_SendMutex);
    const std::string bytes = frame(payload, type);
    if (m_Connection >= 0) (void)!send(m_Connection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void SimulatedLiveScript::disconnect() {
    std::lock_guard<std::mutex> lock(m_SendMutex);
    if (const int connection = m_Connection.exchange(-1); connection >= 0) {
        shutdown(connection, SHUT_RDWR);
        close(connection);
    }
}

std::vector<std::string> SimulatedLiveScript::payloads() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Payloads;
}

std::vector<std::string> SimulatedLiveScript::payloadsExceptPings() {
    std::vector<std::string> result;
    for (auto& payload : payloads()) {
        if (!isPing(payload)) result.push_back(payload);
    }
    return result;
}

void SimulatedLiveScript::clear() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Payloads.clear();
}

std::optional<std::string> SimulatedLiveScript::waitFor(const std::function<bool(const std::string&)>& match,
                                                        std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    std::optional<std::string> found;
    m_Changed.wait_for(lock, timeout, [&] {
        for (const auto& payload : m_Payloads) {
            if (match(payload)) {
                found = payload;
                return true;
            }
        }
        return false;
    });
    return found;
}

std::optional<std::string> SimulatedLiveScript::waitForAddress(const std::string& address,
                                                               std::chrono::milliseconds timeout) {
    return waitFor(
        [&](const std::string& payload) {
            const auto packet = osctest::decode(payload);
            return packet && !packet->isBundle && !packet->messages.empty() &&
                   packet->messages.front().address == address;
        },
        timeout);
}

void SimulatedLiveScript::sendDatagram(std::uint16_t port, const std::string& payload) {
    const sockets::Descriptor udp = sockets::udpSocket();
    const sockaddr_in address = sockets::loopbackAddress(port);
    (void)!sendto(udp.get(), payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                  sizeof address);
}

bool SimulatedLiveScript::isPing(const std::string& payload) {
    return payload.compare(0, 13, std::string("/script/ping\0", 13)) == 0;
}

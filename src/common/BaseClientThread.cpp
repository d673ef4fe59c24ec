#include "BaseClientThread.h"

#include "Clock.h"
#include "Logger.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <oscpack/osc/OscOutboundPacketStream.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

namespace {

constexpr std::size_t kPacketBufferSize = 4096;
constexpr unsigned kInitRetrySeconds = 5;

// An empty bundle with time tag 1 ("immediately").
constexpr char kEmptyBundle[16] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 1};

}  // namespace

BaseClientThread::BaseClientThread() : m_ReceiveBuffer(FrameHeader::kMaxReceivedPayload) {
    CLogger::debug("BaseClientThread created");
}

BaseClientThread::~BaseClientThread() { CLogger::debug("~BaseClientThread"); }

void BaseClientThread::Work() {
    while (b_Running) {
        if (!Init()) {
            sleep(kInitRetrySeconds);
            continue;
        }
        FrameHeader header;
        const ReadResult result = readFrame(header);
        if (result == ReadResult::Failed) {
            PerformDisconnect();
        } else if (result == ReadResult::Complete && header.type == FrameHeader::kOscPacket) {
            ProcessPacket(m_ReceiveBuffer.data(), header.length, m_Addr);
        }
    }
    PerformDisconnect();
    Finalize();  // destroys this session: nothing may touch it afterwards
}

BaseClientThread::ReadResult BaseClientThread::readFrame(FrameHeader& header) {
    unsigned char bytes[FrameHeader::kSize];
    for (std::size_t field = 0; field < FrameHeader::kSize; field += 4) {
        const ReadResult result = readField(reinterpret_cast<char*>(bytes + field), 4);
        if (result != ReadResult::Complete) return result;
    }
    header = FrameHeader::decode(bytes);
    if (!header.lengthAccepted()) return ReadResult::Failed;
    return readField(m_ReceiveBuffer.data(), header.length);
}

// Reads exactly `length` bytes of one header field or of the payload.
BaseClientThread::ReadResult BaseClientThread::readField(char* into, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const int socket = m_Socket;
        if (done > 0 && (!b_Running || socket == 0)) return ReadResult::Abandoned;
        if (!waitReadable(socket)) return ReadResult::Failed;
        const ssize_t got = recv(socket, into + done, length - done, 0);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
        } else if (done > 0) {
            return ReadResult::Failed;
        } else if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        } else {
            std::printf("Error %d opening socket.\n", errno);
            return ReadResult::Failed;
        }
    }
    return ReadResult::Complete;
}

// Blocks until the socket has data or an error (poll, not select: a
// descriptor number above FD_SETSIZE must not overflow anything).
bool BaseClientThread::waitReadable(int socket) const {
    if (socket <= 0) return false;
    pollfd watched{socket, POLLIN, 0};
    while (poll(&watched, 1, -1) < 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

void BaseClientThread::writeFrame(const char* payload, std::size_t length) {
    bool written = true;
    {
        std::lock_guard<CThreadMutex> lock(m_SendMutex);
        const int socket = m_Socket;
        if (socket == 0 || m_StreamBroken) return;
        written = FrameHeader::sendFrame(socket, payload, length);
        if (!written) {
            // The tablet may hold part of a frame: nothing more can be sent.
            m_StreamBroken = true;
            shutdown(socket, SHUT_RDWR);
        }
    }
    if (!written) {
        CLogger::info("Connection with %s lost while sending; disconnecting", peerAddress().c_str());
        b_Connected = false;
        PerformDisconnect();
    }
}

void BaseClientThread::SendData(const char* data, std::size_t length) { writeFrame(data, length); }

void BaseClientThread::TransmitMessage(const ReceivedOscMessage& message) {
    if (b_Connected) writeFrame(message.EncodedData(), message.EncodedSize());
}

void BaseClientThread::StartBundle() { writeFrame(kEmptyBundle, sizeof kEmptyBundle); }

void BaseClientThread::setConnected(bool connected) {
    if (connected) markSeen();
    b_Connected = connected;
}

void BaseClientThread::markSeen() { m_LastSeen = Clock::nowSeconds(); }

void BaseClientThread::Interrupt() {
    b_Running = false;
    std::lock_guard<CThreadMutex> lock(m_SendMutex);
    if (const int socket = m_Socket; socket > 0) shutdown(socket, SHUT_RDWR);
}

void BaseClientThread::closeSocket() {
    std::lock_guard<CThreadMutex> lock(m_SendMutex);
    if (const int socket = m_Socket.exchange(0); socket > 0) close(socket);
}

void BaseClientThread::Monitor() {
    if (!b_Connected) return;
    char buffer[kPacketBufferSize];
    osc::OutboundPacketStream ping(buffer, sizeof buffer);
    ping << osc::BeginMessage("/app/ping") << osc::int32(12345) << osc::int32(1) << osc::EndMessage;
    SendData(ping.Data(), ping.Size());

    const std::uint64_t now = Clock::nowSeconds();
    const std::uint64_t lastSeen = m_LastSeen;
    if (now >= lastSeen && now - lastSeen >= kTimeoutSeconds) {
        CLogger::info("Connection with %s timed out", peerAddress().c_str());
        b_Connected = false;
        PerformDisconnect();
        // A silent tablet sends nothing that would wake the session's read.
        if (!b_Running) Interrupt();
    }
}

void BaseClientThread::BundleStart(const osc::ReceivedBundle& bundle, const sockaddr_in&) {
    CLogger::info("Bundle started %lu", static_cast<unsigned long>(bundle.TimeTag()));
}

void BaseClientThread::BundleEnd(const osc::ReceivedBundle& bundle, const sockaddr_in&) {
    CLogger::info("Bundle finished %lu", static_cast<unsigned long>(bundle.TimeTag()));
}

// Messages for the Live script go through the script connection; until it
// exists they have nowhere to go and are dropped.
void BaseClientThread::ProcessMessage(const ReceivedOscMessage&, const sockaddr_in&) {}

std::string BaseClientThread::peerAddress() const {
    char address[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &m_Addr.sin_addr, address, sizeof address);
    return address;
}

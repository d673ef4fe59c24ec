#include "BaseClientThread.h"

#include "Clock.h"
#include "Console.h"
#include "Logger.h"
#include "ServerLinks.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <oscpack/osc/OscOutboundPacketStream.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

constexpr std::size_t kPacketBufferSize = 4096;
constexpr unsigned kInitRetrySeconds = 5;
constexpr int kServerVersion = 428;

// An empty bundle with time tag 1 ("immediately").
constexpr char kEmptyBundle[16] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 1};

}  // namespace

BaseClientThread::BaseClientThread(ServerLinks& links)
    : m_Links(links), m_ReceiveBuffer(FrameHeader::kMaxReceivedPayload) {
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
            Console::print("Error %d opening socket.\n", errno);
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
    m_Links.scriptBundleStart();
}

void BaseClientThread::BundleEnd(const osc::ReceivedBundle& bundle, const sockaddr_in&) {
    CLogger::info("Bundle finished %lu", static_cast<unsigned long>(bundle.TimeTag()));
    m_Links.scriptBundleEnd();
}

// The server answers liveness, state, naming, MIDI, shutdown and broadcast
// messages itself; everything else goes to the Live script unchanged.
void BaseClientThread::ProcessMessage(const ReceivedOscMessage& message, const sockaddr_in&) {
    const char* address = message.AddressPattern();
    if (std::strcmp(address, "/server/ping") == 0) {
        handleServerPing(message);
    } else if (std::strcmp(address, "/app/pong") == 0) {
        markSeen();
        const auto first = message.ArgumentsBegin();
        if (message.ArgumentCount() >= 1 && first->IsInt32() && first->AsInt32() == 1) m_Links.scriptStartLoad();
    } else if (std::strcmp(address, "/midi") == 0) {
        handleMidi(message);
    } else if (std::strcmp(address, "/server/getstate") == 0) {
        sendState();
    } else if (std::strcmp(address, "/server/reload") == 0) {
        m_Links.scriptStartLoad();
    } else if (std::strcmp(address, "/server/shutdown") == 0) {
        m_Links.requestShutdown();
    } else if (std::strcmp(address, "/disconnect") == 0) {
        b_Running = false;
    } else if (std::strncmp(address, "/broadcast", 10) == 0) {
        m_Links.toScript(message);
        m_Links.toConnectedSessions(message, this);
    } else if (std::strcmp(address, "/device_name") == 0) {
        m_DeviceName = message.ArgumentsBegin()->AsString();
        sendHostName();
    } else {
        m_Links.toScript(message);
    }
}

void BaseClientThread::handleServerPing(const ReceivedOscMessage& message) {
    if (message.ArgumentCount() >= 1) {
        const int state = message.ArgumentsBegin()->AsInt32();
        if (state == 1) {
            setConnected(true);
            Console::print("server/ping with %d - b_Connected = TRUE, device_name: %s \n", state, m_DeviceName.c_str());
        } else if (state == -1) {
            b_Connected = false;
        } else if (state == -2) {
            PerformDisconnect();
        }
    }
    sendPong();
}

void BaseClientThread::handleMidi(const ReceivedOscMessage& message) {
    unsigned char bytes[3] = {0, 0, 0};
    int count = 2;
    if (message.ArgumentCount() >= 2) {
        auto argument = message.ArgumentsBegin();
        bytes[0] = static_cast<unsigned char>(argument->AsInt32() & 0xff);
        bytes[1] = static_cast<unsigned char>((++argument)->AsInt32() & 0xff);
        if (message.ArgumentCount() >= 3) {
            bytes[2] = static_cast<unsigned char>((++argument)->AsInt32() & 0xff);
            count = 3;
        }
    }
    m_Links.sendMidi(bytes, count);
}

// "/server/pong": script version, 428, script available, the script's info
// triple, Live running.
void BaseClientThread::sendPong() {
    const ScriptStatus script = m_Links.scriptStatus();
    char buffer[kPacketBufferSize];
    osc::OutboundPacketStream pong(buffer, sizeof buffer);
    pong << osc::BeginMessage("/server/pong") << osc::int32(script.version) << osc::int32(kServerVersion)
         << osc::int32(script.available ? 1 : 0) << osc::int32(script.info[0]) << osc::int32(script.info[1])
         << osc::int32(script.info[2]) << osc::int32(script.liveRunning ? 1 : 0) << osc::EndMessage;
    SendData(pong.Data(), pong.Size());
}

// "/server/state": script available, Wi-Fi sessions, USB sessions.
void BaseClientThread::sendState() {
    const bool available = m_Links.scriptStatus().available;
    const SessionCounts sessions = m_Links.sessionCounts();
    char buffer[kPacketBufferSize];
    osc::OutboundPacketStream state(buffer, sizeof buffer);
    state << osc::BeginMessage("/server/state") << available << osc::int32(static_cast<int>(sessions.wifi))
          << osc::int32(static_cast<int>(sessions.usb)) << osc::EndMessage;
    SendData(state.Data(), state.Size());
}

// "/host_name": the computer's name as the USB watcher knows it, "USB"
// without one, and an empty string.
void BaseClientThread::sendHostName() {
    char buffer[kPacketBufferSize];
    osc::OutboundPacketStream reply(buffer, sizeof buffer);
    const std::string name = m_Links.hostName();
    reply << osc::BeginMessage("/host_name") << name.c_str() << "" << osc::EndMessage;
    SendData(reply.Data(), reply.Size());
}

std::string BaseClientThread::peerAddress() const {
    char address[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &m_Addr.sin_addr, address, sizeof address);
    return address;
}

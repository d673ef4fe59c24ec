#include "AbletonClientTCP.h"

#include "Clock.h"
#include "Console.h"
#include "FrameHeader.h"
#include "Logger.h"
#include "Platform.h"
#include "ServerLinks.h"
#include "WaveformAnalyzer.h"
#include "WaveformRequests.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <oscpack/osc/OscOutboundPacketStream.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace {

constexpr auto kSocketRetry = std::chrono::seconds(5);
constexpr auto kConnectRetry = std::chrono::milliseconds(10);
constexpr auto kAfterConnect = std::chrono::milliseconds(100);
constexpr int kAttemptsPerPort = 6;
constexpr std::uint64_t kAvailableSeconds = 10;
constexpr std::uint64_t kFullStateAfterSeconds = 999;
constexpr std::size_t kStreamSize = 16384;
constexpr std::size_t kReplySize = 4096;
constexpr int kSendTimeoutSeconds = 3;
// The ping's text: fixed, 17 characters, never read back.
constexpr const char* kPingText = "corviLane server!";
constexpr unsigned char kFramePoke = 0x01;
constexpr char kBundleStart[16] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 1};

double steadySeconds() { return static_cast<double>(Clock::nowNanoseconds()) / 1e9; }

}  // namespace

AbletonClientTCP::AbletonClientTCP(ServerLinks& links, std::unique_ptr<LiveChecker> liveChecker,
                                   std::unique_ptr<WaveformAnalyzer> analyzer, int basePort)
    : m_Links(links), m_BasePort(basePort), m_LiveChecker(std::move(liveChecker)),
      m_Waveforms(std::make_unique<WaveformRequests>(links, std::move(analyzer), [this] { return !isRunning(); })),
      m_ReceiveBuffer(FrameHeader::kMaxReceivedPayload) {}

AbletonClientTCP::~AbletonClientTCP() { PerformDisconnect(false); }

void AbletonClientTCP::Stop() {
    CThread::Stop();
    std::lock_guard<CThreadMutex> lock(m_SendMutex);
    if (const int socket = m_Socket; socket > 0) shutdown(socket, SHUT_RDWR);
}

void AbletonClientTCP::Work() {
    while (b_Running) {
        if (!m_Connected) {
            connectToScript();
        } else {
            receiveFrame();
        }
    }
    PerformDisconnect(false);
    b_Running = false;
}

// One connection attempt on the current port; six failures in a row move on
// to the next port of the ten.
bool AbletonClientTCP::connectToScript() {
    const int candidate = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (candidate <= 0) {
        sleepWhileRunning(kSocketRetry);
        return false;
    }
    const int port = m_BasePort + m_PortOffset;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, m_Host.c_str(), &address.sin_addr);
    if (connect(candidate, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        // A script that stops reading must not hold its writers for ever.
        const timeval timeout{kSendTimeoutSeconds, 0};
        setsockopt(candidate, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        const int on = 1;
        setsockopt(candidate, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Console::print("Successfully connected to script TCP port on port %d\n", port);
        {
            std::lock_guard<CThreadMutex> lock(m_SendMutex);
            m_Socket = candidate;
        }
        m_Connected = true;
        sleepWhileRunning(kAfterConnect);
        return true;
    }
    close(candidate);
    m_Socket = 0;
    sleepWhileRunning(kConnectRetry);
    if (m_ConnectFailures++ == kAttemptsPerPort - 1) {
        m_ConnectFailures = 0;
        m_PortOffset = (m_PortOffset + 1) % kPortCount;
    }
    return false;
}

void AbletonClientTCP::receiveFrame() {
    unsigned char header[FrameHeader::kSize];
    for (std::size_t field = 0; field < FrameHeader::kSize; field += 4) {
        const ReadResult result = readExactly(reinterpret_cast<char*>(header + field), 4);
        if (result == ReadResult::Failed) return PerformDisconnect(true);
        if (result == ReadResult::Abandoned) return;
        if (field == 0) {
            const FrameHeader length = FrameHeader::decode(header);
            if (!length.lengthAccepted()) {
                Console::print("Invalid packet length %d\n", static_cast<int>(length.length));
                return PerformDisconnect(true);
            }
        }
    }
    const FrameHeader frame = FrameHeader::decode(header);
    const ReadResult body = readExactly(m_ReceiveBuffer.data(), frame.length);
    if (body == ReadResult::Failed) return PerformDisconnect(true);
    if (body == ReadResult::Abandoned) return;

    if (frame.type == FrameHeader::kOscPacket) ProcessPacket(m_ReceiveBuffer.data(), frame.length, sockaddr_in{});
}

AbletonClientTCP::ReadResult AbletonClientTCP::readExactly(char* into, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const int socket = m_Socket;
        if (!b_Running || socket == 0) return ReadResult::Abandoned;
        if (!waitReadable(socket)) return ReadResult::Failed;
        const ssize_t got = recv(socket, into + done, length - done, 0);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (done > 0) {
            Console::print("Server disconnected2: %d\n", static_cast<int>(got));
        } else {
            const int error = errno;
            Console::print("len: %d | errno: %d\n", static_cast<int>(got), error);
            Console::print("error receiving from port - len: %d - erno: %d || error: %s\n", static_cast<int>(got),
                        error, std::strerror(error));
            Console::print("Server disconnected1: %d\n", static_cast<int>(got));
        }
        return ReadResult::Failed;
    }
    return ReadResult::Complete;
}

bool AbletonClientTCP::waitReadable(int socket) const {
    pollfd watched{socket, POLLIN, 0};
    while (poll(&watched, 1, -1) < 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

// Runs on the connection's own thread only, so no packet is being handled
// while the socket closes.
void AbletonClientTCP::PerformDisconnect(bool pause) {
    {
        std::lock_guard<CThreadMutex> lock(m_SendMutex);
        if (const int socket = m_Socket.exchange(0); socket > 0) close(socket);
        m_Connected = false;
    }
    if (pause) sleepWhileRunning(kAfterConnect);
}

// Writes one frame and cues the script. A frame that could not be written
// whole leaves the stream unusable: it is shut down, and the reading thread
// then reconnects.
void AbletonClientTCP::sendPacket(const char* data, std::size_t length) {
    {
        std::lock_guard<CThreadMutex> lock(m_SendMutex);
        const int socket = m_Socket;
        if (socket > 0 && !FrameHeader::sendFrame(socket, data, length)) shutdown(socket, SHUT_RDWR);
    }
    poke();
}

void AbletonClientTCP::poke() { m_Links.cueScript(kFramePoke); }

void AbletonClientTCP::TransmitMessage(const ReceivedOscMessage& message) {
    if (m_ScriptVersion >= kMinimumScriptVersion) sendPacket(message.EncodedData(), message.EncodedSize());
}

void AbletonClientTCP::Monitor() {
    char buffer[kStreamSize];
    osc::OutboundPacketStream ping(buffer, sizeof buffer);
    ping << osc::BeginMessage("/script/ping") << kPingText << osc::int32(7) << osc::EndMessage;
    sendPacket(ping.Data(), ping.Size());
}

bool AbletonClientTCP::isAvailable() {
    const std::uint64_t now = Clock::nowSeconds();
    const std::uint64_t lastPong = m_LastPong;
    const bool available = now >= lastPong && now - lastPong < kAvailableSeconds;
    m_Available = available;
    return available;
}

void AbletonClientTCP::StartLoad() {
    if (m_Links.sessionCounts().connected == 0 || m_ScriptVersion < kMinimumScriptVersion) return;
    char buffer[kStreamSize];
    osc::OutboundPacketStream load(buffer, sizeof buffer);
    load << osc::BeginMessage("/script/load") << osc::int32(1) << osc::EndMessage;
    sendPacket(load.Data(), load.Size());
}

void AbletonClientTCP::StartBundle() {
    if (m_ScriptVersion >= kMinimumScriptVersion) sendPacket(kBundleStart, sizeof kBundleStart);
}

void AbletonClientTCP::getScriptInfo(int info[3]) const {
    for (int i = 0; i < 3; ++i) info[i] = m_ScriptInfo[i];
}

bool AbletonClientTCP::liveIsRunning() { return m_LiveChecker->live_is_running(); }

// The script's messages by address, in the order they are tested: the
// first that matches wins; every other message is for the tablets.
struct AbletonClientTCP::Route {
    const char* address;
    void (AbletonClientTCP::*handle)(const ReceivedOscMessage&);
};

const AbletonClientTCP::Route AbletonClientTCP::kRoutes[] = {
    {"/bundle/start", &AbletonClientTCP::loadingStarts},
    {"/bundle/end", &AbletonClientTCP::loadingEnds},
    {"/server/refresh", &AbletonClientTCP::refresh},
    {"/script/pong", &AbletonClientTCP::pong},
    {"/script/port_changed", &AbletonClientTCP::portChanged},
    {"/device/simpler/reset_waveform", &AbletonClientTCP::simplerWaveform},
    {"/clip/reset_waveform", &AbletonClientTCP::clipWaveform},
    {"/NSLOG_REPLACE", &AbletonClientTCP::consoleTrace},
};

void AbletonClientTCP::ProcessMessage(const ReceivedOscMessage& message, const sockaddr_in&) {
    const char* address = message.AddressPattern();
    for (const Route& route : kRoutes) {
        if (std::strcmp(address, route.address) == 0) return (this->*route.handle)(message);
    }
    toTablets(message);
}

// "/bundle/start": the tablets' loading start, to the confirmed sessions.
void AbletonClientTCP::loadingStarts(const ReceivedOscMessage&) {
    char buffer[kReplySize];
    osc::OutboundPacketStream start(buffer, sizeof buffer);
    start << osc::BeginMessage("/app/loading/start") << osc::int32(0) << osc::int32(0) << osc::EndMessage;
    const osc::ReceivedPacket packet(start.Data(), start.Size());
    toTablets(ReceivedOscMessage(packet));
}

// "/bundle/end": the tablets' loading end, to every session.
void AbletonClientTCP::loadingEnds(const ReceivedOscMessage&) { toEverySession("/app/loading/end", 0, 0, 2); }

void AbletonClientTCP::refresh(const ReceivedOscMessage&) { StartLoad(); }

void AbletonClientTCP::portChanged(const ReceivedOscMessage& message) {
    if (message.ArgumentCount() >= 1) m_ReportedPort = message.ArgumentsBegin()->AsInt32();
}

void AbletonClientTCP::simplerWaveform(const ReceivedOscMessage& message) { m_Waveforms->simpler(message); }

void AbletonClientTCP::clipWaveform(const ReceivedOscMessage& message) { m_Waveforms->clip(message); }

void AbletonClientTCP::consoleTrace(const ReceivedOscMessage& message) {
    printConsoleTrace("SCRIPT PRINTF", message);
    toTablets(message);
}

void AbletonClientTCP::toTablets(const ReceivedOscMessage& message) { m_Links.toConnectedSessions(message, nullptr); }

// The pong's steps run in order, each only when the pong has the arguments it
// needs; an argument that is not an int32 ends the handling there.
void AbletonClientTCP::pong(const ReceivedOscMessage& message) {
    const std::uint64_t now = Clock::nowSeconds();
    const auto count = message.ArgumentCount();
    auto argument = message.ArgumentsBegin();
    auto next = [&argument] { return (argument++)->AsInt32(); };
    if (count >= 1) m_ScriptVersion = next();
    if (count >= 2) {
        const int port = next();
        if (port != m_ReportedPort) m_ReportedPort = port;
    }
    // A pong too short for the whole triple leaves it as it was.
    if (count >= 5) {
        const int info[3] = {next(), next(), next()};
        for (int i = 0; i < 3; ++i) m_ScriptInfo[i] = info[i];
    }
    if (count >= 6 && next() == 0) toEverySession("/update_listeners", 1, 0, 1);
    if (count >= 7) toEverySession(next() == 0 ? "/not_received_midi_cmd" : "/has_received_midi_cmd", 1, 0, 1);
    const std::uint64_t lastPong = m_LastPong;
    if (now >= lastPong && now - lastPong >= kFullStateAfterSeconds) StartLoad();
    m_LastPong = now;
}

void AbletonClientTCP::printConsoleTrace(const char* title, const osc::ReceivedMessage& message) {
    Console::print("%f %s\n", steadySeconds(), title);
    int index = 0;
    for (auto argument = message.ArgumentsBegin(); argument != message.ArgumentsEnd(); ++argument, ++index) {
        if (argument->IsInt32()) {
            Console::print("    Argument %d: INT %d\n", index, argument->AsInt32());
        } else if (argument->IsFloat()) {
            Console::print("    Argument %d: FLOAT %f\n", index, static_cast<double>(argument->AsFloat()));
        } else if (argument->IsDouble()) {
            Console::print("    Argument %d: FLOAT %f\n", index, argument->AsDouble());
        } else if (argument->IsString()) {
            Console::print("    Argument %d: STRING %s\n", index, argument->AsString());
        }
    }
}

// Builds a message of `count` int32 arguments and writes it to every session.
void AbletonClientTCP::toEverySession(const char* address, int value1, int value2, int count) {
    char buffer[kReplySize];
    osc::OutboundPacketStream out(buffer, sizeof buffer);
    out << osc::BeginMessage(address) << osc::int32(value1);
    if (count > 1) out << osc::int32(value2);
    out << osc::EndMessage;
    m_Links.toEverySession(out.Data(), out.Size());
}

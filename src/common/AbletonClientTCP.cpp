#include "AbletonClientTCP.h"

#include "Clock.h"
#include "FrameHeader.h"
#include "IpadServerThread.h"
#include "LiveRunning.h"
#include "Logger.h"
#include "MeterUpdateThread.h"
#include "MidiPort.h"
#include "WaveformAnalyzer.h"
#include "corviLaneServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <oscpack/osc/OscOutboundPacketStream.h>

#include <cerrno>
#include <cstdio>
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
constexpr std::size_t kWaveformReplySize = 262144;
constexpr char kBundleStart[16] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 1};

double steadySeconds() { return static_cast<double>(Clock::nowNanoseconds()) / 1e9; }

}  // namespace

AbletonClientTCP::AbletonClientTCP(int basePort)
    : m_BasePort(basePort), m_LiveChecker(std::make_unique<LiveRunning>()),
      m_Analyzer(std::make_unique<WaveformAnalyzer>()),
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
        std::printf("Successfully connected to script TCP port on port %d\n", port);
        {
            std::lock_guard<CThreadMutex> lock(m_SendMutex);
            m_Socket = candidate;
        }
        m_ConnectFailures = 0;
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
                std::printf("Invalid packet length %d\n", static_cast<int>(length.length));
                return PerformDisconnect(true);
            }
        }
    }
    const FrameHeader frame = FrameHeader::decode(header);
    const ReadResult body = readExactly(m_ReceiveBuffer.data(), frame.length);
    if (body == ReadResult::Failed) return PerformDisconnect(true);
    if (body == ReadResult::Abandoned) return;

    m_Busy = true;
    if (frame.type == FrameHeader::kOscPacket) ProcessPacket(m_ReceiveBuffer.data(), frame.length, sockaddr_in{});
    m_Busy = false;
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
            std::printf("Server disconnected2: %d\n", static_cast<int>(got));
        } else {
            const int error = errno;
            std::printf("len: %d | errno: %d\n", static_cast<int>(got), error);
            std::printf("error receiving from port - len: %d - erno: %d || error: %s\n", static_cast<int>(got),
                        error, std::strerror(error));
            std::printf("Server disconnected1: %d\n", static_cast<int>(got));
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

void AbletonClientTCP::PerformDisconnect(bool pause) {
    while (m_Busy) usleep(1000);
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

void AbletonClientTCP::poke() {
    if (_meterThread != nullptr && _meterThread->b_StudioMode) return;
    MidiPort::getInstance()->SendScriptCue(kFramePoke);
}

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
    const std::size_t connected = _ipadSrvThread != nullptr ? _ipadSrvThread->getConnectedClientCount() : 0;
    if (connected == 0 || m_ScriptVersion < kMinimumScriptVersion) return;
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

bool AbletonClientTCP::liveIsRunning() const { return m_LiveChecker->live_is_running(); }

void AbletonClientTCP::ProcessMessage(const ReceivedOscMessage& message, const sockaddr_in&) {
    const std::string address = message.AddressPattern();
    if (address == "/bundle/start") {
        char buffer[kReplySize];
        osc::OutboundPacketStream start(buffer, sizeof buffer);
        start << osc::BeginMessage("/app/loading/start") << osc::int32(0) << osc::int32(0) << osc::EndMessage;
        const osc::ReceivedPacket packet(start.Data(), start.Size());
        toConnectedSessions(ReceivedOscMessage(packet));
    } else if (address == "/bundle/end") {
        toEverySession("/app/loading/end", 0, 0, 2);
    } else if (address == "/server/refresh") {
        StartLoad();
    } else if (address == "/script/pong") {
        handlePong(message);
    } else if (address == "/script/port_changed") {
        if (message.ArgumentCount() >= 1) m_ReportedPort = message.ArgumentsBegin()->AsInt32();
    } else if (address == "/device/simpler/reset_waveform") {
        handleSimplerWaveform(message);
    } else if (address == "/clip/reset_waveform") {
        handleClipWaveform(message);
    } else if (address == "/NSLOG_REPLACE") {
        printConsoleTrace("SCRIPT PRINTF", message);
        toConnectedSessions(message);
    } else {
        toConnectedSessions(message);
    }
}

void AbletonClientTCP::handlePong(const ReceivedOscMessage& message) {
    const std::uint64_t now = Clock::nowSeconds();
    std::vector<int> values;
    for (auto argument = message.ArgumentsBegin(); argument != message.ArgumentsEnd() && values.size() < 7;
         ++argument) {
        values.push_back(argument->AsInt32());
    }
    if (values.size() >= 1) m_ScriptVersion = values[0];
    if (values.size() >= 2 && values[1] != m_ReportedPort) m_ReportedPort = values[1];
    // A pong too short for the whole triple leaves it as it was.
    if (values.size() >= 5) {
        for (int i = 0; i < 3; ++i) m_ScriptInfo[i] = values[2 + static_cast<std::size_t>(i)];
    }
    if (values.size() >= 6 && values[5] == 0) toEverySession("/update_listeners", 1, 0, 1);
    if (values.size() >= 7) {
        toEverySession(values[6] == 0 ? "/not_received_midi_cmd" : "/has_received_midi_cmd", 1, 0, 1);
    }
    const std::uint64_t lastPong = m_LastPong;
    if (now >= lastPong && now - lastPong >= kFullStateAfterSeconds) StartLoad();
    m_LastPong = now;
}

void AbletonClientTCP::printConsoleTrace(const char* title, const osc::ReceivedMessage& message) {
    std::printf("%f %s\n", steadySeconds(), title);
    int index = 0;
    for (auto argument = message.ArgumentsBegin(); argument != message.ArgumentsEnd(); ++argument, ++index) {
        if (argument->IsInt32()) {
            std::printf("    Argument %d: INT %d\n", index, argument->AsInt32());
        } else if (argument->IsFloat()) {
            std::printf("    Argument %d: FLOAT %f\n", index, static_cast<double>(argument->AsFloat()));
        } else if (argument->IsDouble()) {
            std::printf("    Argument %d: FLOAT %f\n", index, argument->AsDouble());
        } else if (argument->IsString()) {
            std::printf("    Argument %d: STRING %s\n", index, argument->AsString());
        }
    }
}

void AbletonClientTCP::toConnectedSessions(const ReceivedOscMessage& message) {
    if (_ipadSrvThread != nullptr) _ipadSrvThread->TransmitMessage(message, nullptr);
}

// Builds a message of `count` int32 arguments and writes it to every session.
void AbletonClientTCP::toEverySession(const char* address, int value1, int value2, int count) {
    char buffer[kReplySize];
    osc::OutboundPacketStream out(buffer, sizeof buffer);
    out << osc::BeginMessage(address) << osc::int32(value1);
    if (count > 1) out << osc::int32(value2);
    out << osc::EndMessage;
    if (_ipadSrvThread != nullptr) _ipadSrvThread->SendData(out.Data(), out.Size());
}

void AbletonClientTCP::sendToEverySession(const osc::OutboundPacketStream& stream) {
    if (_ipadSrvThread != nullptr) _ipadSrvThread->SendData(stream.Data(), stream.Size());
}

// "/clip/reset_waveform" a1 a2 path start length: the reset bracket, the two
// series when the file loads, then the closing bracket with the refused
// format (if any).
void AbletonClientTCP::handleClipWaveform(const ReceivedOscMessage& message) {
    if (message.ArgumentCount() == 0) return;
    osc::int32 a1 = 0;
    osc::int32 a2 = 0;
    const char* path = nullptr;
    float start = 0;
    float fraction = 0;
    message.ArgumentStream() >> a1 >> a2 >> path >> start >> fraction;

    char bracket[kReplySize];
    osc::OutboundPacketStream reset(bracket, sizeof bracket);
    reset << osc::BeginMessage("/clip/reset_waveform") << a1 << a2 << osc::EndMessage;
    sendToEverySession(reset);

    std::int64_t count = 0;
    if (const float* samples = m_Analyzer->load_file(path, &count, start, fraction)) {
        std::vector<char> buffer(kWaveformReplySize);
        osc::OutboundPacketStream wave(buffer.data(), buffer.size());
        wave << osc::BeginMessage("/clip/update_waveform") << a1 << a2;
        m_Analyzer->analyze_wave(samples, count, wave);
        wave << osc::EndMessage;
        sendToEverySession(wave);
        osc::OutboundPacketStream intensity(buffer.data(), buffer.size());
        intensity << osc::BeginMessage("/clip/update_waveform_intensity") << a1 << a2;
        m_Analyzer->analyze_intensity(samples, count, intensity);
        intensity << osc::EndMessage;
        sendToEverySession(intensity);
    } else {
        std::printf("no audio data found: %s\n", path);
    }

    osc::OutboundPacketStream updated(bracket, sizeof bracket);
    updated << osc::BeginMessage("/clip/updated_waveform") << a1 << a2 << m_Analyzer->unsupported_format.c_str()
            << osc::EndMessage;
    sendToEverySession(updated);
}

// "/device/simpler/reset_waveform" a1 a2 a3 n, 2n values, path start length:
// four replies, each led by a1 a2 a3 n and the values, only when the file
// loads.
void AbletonClientTCP::handleSimplerWaveform(const ReceivedOscMessage& message) {
    if (message.ArgumentCount() == 0) return;
    osc::int32 ids[3] = {0, 0, 0};
    osc::int32 n = 0;
    auto arguments = message.ArgumentStream();
    arguments >> ids[0] >> ids[1] >> ids[2] >> n;
    // The pair list is taken from what the message really carries: a count
    // that claims more values than follow is refused, never trusted.
    const std::int64_t values = n > 0 ? 2 * static_cast<std::int64_t>(n) : 0;
    if (values > static_cast<std::int64_t>(message.ArgumentCount()) - 7) {
        CLogger::error("Simpler waveform request with %d pairs but %u arguments: dropped", n,
                       message.ArgumentCount());
        return;
    }
    std::vector<osc::int32> pairs(static_cast<std::size_t>(values));
    for (auto& value : pairs) arguments >> value;
    const char* path = nullptr;
    float start = 0;
    float fraction = 0;
    arguments >> path >> start >> fraction;

    std::int64_t count = 0;
    const float* samples = m_Analyzer->load_file(path, &count, start, fraction);
    if (samples == nullptr) return;

    // Each value takes 4 bytes and a type tag: the replies grow with the list.
    const std::size_t listBytes = pairs.size() * 5 + 8;
    std::vector<char> buffer(kWaveformReplySize + listBytes);
    auto begin = [&](osc::OutboundPacketStream& out, const char* address) {
        out << osc::BeginMessage(address) << ids[0] << ids[1] << ids[2] << n;
        for (osc::int32 value : pairs) out << value;
    };
    {
        osc::OutboundPacketStream reset(buffer.data(), kReplySize + listBytes);
        begin(reset, "/device/simpler/reset_waveform");
        reset << static_cast<osc::int32>(count) << osc::EndMessage;
        sendToEverySession(reset);
    }
    {
        osc::OutboundPacketStream wave(buffer.data(), buffer.size());
        begin(wave, "/device/simpler/update_waveform");
        m_Analyzer->analyze_wave(samples, count, wave);
        wave << osc::EndMessage;
        std::printf("message length: %d\n", static_cast<int>(wave.Size()));
        sendToEverySession(wave);
    }
    {
        osc::OutboundPacketStream intensity(buffer.data(), buffer.size());
        begin(intensity, "/device/simpler/update_waveform_intensity");
        m_Analyzer->analyze_intensity(samples, count, intensity);
        intensity << osc::EndMessage;
        std::printf("message length2: %d\n", static_cast<int>(intensity.Size()));
        sendToEverySession(intensity);
    }
    osc::OutboundPacketStream updated(buffer.data(), kReplySize + listBytes);
    begin(updated, "/device/simpler/updated_waveform");
    updated << osc::EndMessage;
    sendToEverySession(updated);
}

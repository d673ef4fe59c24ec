#include "AbletonClientTCP.h"

#include "Clock.h"
#include "ConsoleTrace.h"
#include "Console.h"
#include "FrameWriter.h"
#include "Logger.h"
#include "Platform.h"
#include "ServerLinks.h"
#include "SocketUtil.h"
#include "WaveformAnalyzer.h"
#include "WaveformRequests.h"
#include "WakeBatch.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <oscpack/osc/OscOutboundPacketStream.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

namespace {

constexpr auto kSocketRetry = std::chrono::seconds(5);
constexpr auto kConnectRetry = std::chrono::milliseconds(10);
constexpr auto kAfterConnect = std::chrono::milliseconds(100);
constexpr int kAttemptsPerPort = 6;
constexpr std::uint64_t kLiveCheckNanoseconds = 1'000'000'000;
constexpr std::uint64_t kConnectTimeoutNanoseconds = 1'000'000'000;
constexpr int kConnectPollMilliseconds = 50;
// While frames wait for the script, the connection looks at their deadline this often.
constexpr int kSendingPollMilliseconds = 250;
constexpr std::uint64_t kAvailableSeconds = 10;
constexpr std::uint64_t kFullStateAfterSeconds = 999;
constexpr std::size_t kStreamSize = 16384;
constexpr std::size_t kReplySize = 4096;
constexpr int kSendTimeoutSeconds = 3;
// The ping's text: fixed, 17 characters, never read back.
constexpr const char* kPingText = "corviLane server!";
constexpr unsigned char kFramePoke = 0x01;
constexpr char kBundleStart[16] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 1};

}  // namespace

AbletonClientTCP::AbletonClientTCP(ServerLinks& links, std::unique_ptr<LiveChecker> liveChecker,
                                   std::unique_ptr<WaveformAnalyzer> analyzer, int basePort)
    : m_Links(links), m_BasePort(basePort), m_LiveChecker(std::move(liveChecker)),
      m_Waveforms(std::make_unique<WaveformRequests>(links, std::move(analyzer), [this] { return !isRunning(); })) {}

AbletonClientTCP::~AbletonClientTCP() { PerformDisconnect(false); }

void AbletonClientTCP::Stop() {
    CThread::Stop();
    m_Wakeup.notify();
}

void AbletonClientTCP::Work() {
    while (isRunning()) {
        try {
            if (!m_Connected) {
                connectToScript();
            } else {
                exchange();
            }
        } catch (const std::exception& error) {
            // Nothing the script sends, and no shortage, may end the server.
            CLogger::error("Script connection failed: %s", error.what());
            PerformDisconnect(true);
        }
    }
    PerformDisconnect(false);
}

// One connection attempt on the current port; six failures in a row move on
// to the next port of the ten. The count goes on across connections, so a
// lost script is looked for first where it last was.
bool AbletonClientTCP::connectToScript() {
    sockets::Descriptor candidate = sockets::tcpSocket();
    if (!candidate) {
        sleepWhileRunning(kSocketRetry);
        return false;
    }
    const int port = m_BasePort + m_PortOffset;
    sockaddr_in address = sockets::loopbackAddress(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, m_Host.c_str(), &address.sin_addr);
    if (connectOrStop(candidate.get(), address)) {
        sockets::setNoDelay(candidate.get());
        Console::print("Successfully connected to script TCP port on port %d\n", port);
        m_Reader.reset();
        {
            std::lock_guard<CThreadMutex> lock(m_SendMutex);
            m_Socket = candidate.release();
            m_StreamBroken = false;
        }
        m_Connected = true;
        sleepWhileRunning(kAfterConnect);
        return true;
    }
    candidate.reset();
    sleepWhileRunning(kConnectRetry);
    if (m_ConnectFailures++ == kAttemptsPerPort - 1) {
        m_ConnectFailures = 0;
        m_PortOffset = (m_PortOffset + 1) % kPortCount;
    }
    return false;
}

// A connection attempt that a stop interrupts and that gives up after a
// second: a port whose listener does not accept (its backlog full, say) would
// otherwise hold connect() for minutes.
bool AbletonClientTCP::connectOrStop(int socket, const sockaddr_in& address) {
    sockets::setNonBlocking(socket);
    if (connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS) return false;
        const std::uint64_t deadline = Clock::nowNanoseconds() + kConnectTimeoutNanoseconds;
        pollfd watched{socket, POLLOUT, 0};
        while (poll(&watched, 1, kConnectPollMilliseconds) <= 0) {
            if (!isRunning() || Clock::nowNanoseconds() >= deadline) return false;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return false;
    }
    return sockets::setBlocking(socket);
}

// One wait for the script's bytes, frames to write or a stop, then what it
// calls for. A wait cut short by a stop is abandoned quietly.
void AbletonClientTCP::exchange() {
    const int socket = m_Socket;
    const bool sending = hasQueued();
    pollfd watched[2] = {{socket, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0},
                         {m_Wakeup.fd(), POLLIN, 0}};
    if (poll(watched, 2, sending ? kSendingPollMilliseconds : -1) < 0) return;
    if ((watched[1].revents & POLLIN) != 0) m_Wakeup.drain();
    if (!isRunning()) return;
    if ((watched[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !receive(socket)) return;
    flushQueued(socket);
}

// Reads what the script sent and routes every frame it completes; false when
// the connection was lost.
bool AbletonClientTCP::receive(int socket) {
    const std::span<char> space = m_Reader.space();
    const ssize_t got = recv(socket, space.data(), space.size(), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
    if (got <= 0) {
        lost(static_cast<int>(got));
        return false;
    }
    m_Reader.commit(static_cast<std::size_t>(got));
    // The sessions wake once for all that this read brings them.
    const WakeBatch batch;
    while (isRunning()) {
        const FrameReader::Next next = m_Reader.next();
        switch (next.event) {
            case FrameReader::Event::NeedMore:
                return true;
            case FrameReader::Event::LengthError:
                Console::print("Invalid packet length %d\n", static_cast<int>(next.length));
                PerformDisconnect(true);
                return false;
            case FrameReader::Event::Skipped:
                break;
            case FrameReader::Event::Frame:
                ProcessPacket(next.payload.data(), next.payload.size(), sockaddr_in{});
                break;
        }
    }
    return true;
}

// The script closed the connection or the read failed: said one way where a
// header word or a body would begin, another inside one.
void AbletonClientTCP::lost(int result) {
    const int error = errno;
    if (m_Reader.atFieldStart()) {
        Console::print("len: %d | errno: %d\n", result, error);
        Console::print("error receiving from port - len: %d - erno: %d || error: %s\n", result, error,
                       std::strerror(error));
        Console::print("Server disconnected1: %d\n", result);
    } else {
        Console::print("Server disconnected2: %d\n", result);
    }
    PerformDisconnect(true);
}

// Runs on the connection's own thread only, so no packet is being handled
// while the socket closes.
void AbletonClientTCP::PerformDisconnect(bool pause) {
    {
        std::lock_guard<CThreadMutex> lock(m_SendMutex);
        if (const int socket = m_Socket.exchange(0); socket > 0) close(socket);
        m_Connected = false;
        m_Queue.clear();
        m_StreamBroken = false;
    }
    if (pause) sleepWhileRunning(kAfterConnect);
}

// Writes one frame to the script and cues it. No caller ever waits for the
// script: a frame the socket does not take at once waits in the queue, which
// the connection's own thread writes (and cues) as the script reads. With no
// connection the write fails without effect and the cue goes out all the same.
void AbletonClientTCP::sendPacket(const char* data, std::size_t length) {
    bool cue = true;
    bool wake = false;
    {
        std::lock_guard<CThreadMutex> lock(m_SendMutex);
        const int socket = m_Socket;
        if (socket > 0 && !m_StreamBroken) {
            if (!m_Queue.empty()) {
                if (m_Queue.push(OutboundQueue::frame(data, length)) == OutboundQueue::Push::Overflow) {
                    m_StreamBroken = true;
                    wake = true;
                }
                cue = false;
            } else if (!tryWrite(socket, data, length)) {
                cue = false;
                wake = true;
            }
        }
    }
    if (wake) m_Wakeup.notify();
    if (cue) poke();
}

// Writes the frame without waiting: true when it went out whole; what the
// socket did not take is queued. Called with m_SendMutex held.
bool AbletonClientTCP::tryWrite(int socket, const char* data, std::size_t length) {
    const FrameWriter::Header header = FrameWriter::header(length);
    std::array<iovec, 2> parts = FrameWriter::parts(header, {data, length});
    msghdr message{};
    message.msg_iov = parts.data();
    message.msg_iovlen = parts.size();
    const ssize_t sent = sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent == static_cast<ssize_t>(header.size() + length)) return true;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        m_StreamBroken = true;
        return false;
    }
    m_Queue.push(OutboundQueue::frame(data, length));
    m_Queue.consume(static_cast<std::size_t>(std::max<ssize_t>(sent, 0)));
    m_LastProgress = Clock::nowNanoseconds();
    return false;
}

bool AbletonClientTCP::hasQueued() {
    std::lock_guard<CThreadMutex> lock(m_SendMutex);
    return !m_Queue.empty() || m_StreamBroken;
}

// Writes what waits for the script as far as the socket takes it, cueing the
// script once per frame written. A script that takes nothing for 3 s, or a
// frame that could not be written, leaves the stream unusable: the
// connection starts afresh.
void AbletonClientTCP::flushQueued(int socket) {
    bool broken = false;
    while (!broken) {
        iovec parts[IOV_MAX];
        std::size_t count = 0;
        {
            std::lock_guard<CThreadMutex> lock(m_SendMutex);
            broken = m_StreamBroken;
            count = broken ? 0 : m_Queue.gather(parts, IOV_MAX);
        }
        if (count == 0) break;
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = count;
        const ssize_t sent = sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
        std::size_t written = 0;
        {
            std::lock_guard<CThreadMutex> lock(m_SendMutex);
            if (sent <= 0) {
                broken = m_StreamBroken = true;
            } else {
                written = m_Queue.consume(static_cast<std::size_t>(sent));
                m_LastProgress = Clock::nowNanoseconds();
            }
        }
        poke(written);
    }
    {
        std::lock_guard<CThreadMutex> lock(m_SendMutex);
        const bool stalled =
            !m_Queue.empty() && Clock::nowNanoseconds() - m_LastProgress >= kSendTimeoutSeconds * 1'000'000'000ull;
        broken = m_StreamBroken || stalled;
    }
    if (broken) PerformDisconnect(true);
}

void AbletonClientTCP::poke(std::size_t frames) {
    for (std::size_t i = 0; i < frames; ++i) m_Links.cueScript(kFramePoke);
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

// The process table is read at most once a second, however often the
// tablets ask.
bool AbletonClientTCP::liveIsRunning() {
    std::lock_guard<std::mutex> lock(m_LiveMutex);
    const std::uint64_t now = Clock::nowNanoseconds();
    if (!m_LiveKnown || now - m_LiveCheckedAt >= kLiveCheckNanoseconds) {
        m_LiveRunning = m_LiveChecker && m_LiveChecker->live_is_running();
        m_LiveCheckedAt = now;
        m_LiveKnown = true;
    }
    return m_LiveRunning;
}

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

// Builds a message of `count` int32 arguments and writes it to every session.
void AbletonClientTCP::toEverySession(const char* address, int value1, int value2, int count) {
    char buffer[kReplySize];
    osc::OutboundPacketStream out(buffer, sizeof buffer);
    out << osc::BeginMessage(address) << osc::int32(value1);
    if (count > 1) out << osc::int32(value2);
    out << osc::EndMessage;
    m_Links.toEverySession(out.Data(), out.Size());
}

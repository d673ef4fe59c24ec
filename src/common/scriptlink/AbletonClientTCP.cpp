#include "AbletonClientTCP.h"

#include "Clock.h"
#include "ConsoleTrace.h"
#include "Console.h"
#include "FrameWriter.h"
#include "Logger.h"
#include "LogBudget.h"
#include "SocketUtil.h"
#include "WaveformAnalyzer.h"
#include "WaveformQueue.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <oscpack/osc/OscOutboundPacketStream.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace {

constexpr auto kSocketRetry = std::chrono::seconds(5);
constexpr auto kConnectRetry = std::chrono::milliseconds(10);
constexpr auto kAfterConnect = std::chrono::milliseconds(100);
constexpr auto kIdleRoundPause = std::chrono::seconds(1);
constexpr int kAttemptsPerPort = 6;
constexpr std::uint64_t kConnectTimeoutNanoseconds = 1'000'000'000;
constexpr int kConnectPollMilliseconds = 50;
// What a read of the script's stream asks for at least: it brings many frames.
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kStreamSize = 16384;
// The ping's text: fixed, 17 characters, never read back.
constexpr const char* kPingText = "corviLane server!";
constexpr unsigned char kFramePoke = 0x01;

}  // namespace

AbletonClientTCP::AbletonClientTCP(ScriptState& state, TabletSink& tablets, TabletRoster& roster, Cues& cues,
                                   std::unique_ptr<WaveformAnalyzer> analyzer, int basePort)
    : m_State(state), m_Roster(roster), m_Cues(cues), m_BasePort(basePort),
      m_Waveforms(std::make_unique<WaveformQueue>(tablets, std::move(analyzer))),
      m_Context{state, tablets, *this, m_Waveforms.get()},
      m_Connection({.interactive = kQueueLimit,
                    .backlog = kBacklogMark,
                    .bulkWindow = kQueueLimit,
                    .stallNanoseconds = 0,
                    .overflowLosesStream = false},
                   kReadChunk, [this](std::size_t frames) { poke(frames); }, [&tablets] { tablets.roomFreed(); }) {}

AbletonClientTCP::~AbletonClientTCP() { PerformDisconnect(false); }

void AbletonClientTCP::Stop() {
    CThread::Stop();
    m_Waveforms->abandon();
    m_Connection.wake();
}

// The waveform worker lives exactly as long as this loop: it is joined before
// the thread ends, while the sessions it answers still exist.
void AbletonClientTCP::Work() {
    const WaveformQueue::Worker waveforms(*m_Waveforms);
    m_Connection.serveFromThisThread();
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
    const sockaddr_in address = sockets::loopbackAddress(static_cast<std::uint16_t>(port));
    if (connectOrStop(candidate.get(), address)) {
        sockets::setNoDelay(candidate.get());
        Console::print("Successfully connected to script TCP port on port %d\n", port);
        m_Connection.open(candidate.release());
        m_Connected = true;
        m_Idle = false;
        m_PortsTried = 0;
        sleepWhileRunning(kAfterConnect);
        return true;
    }
    candidate.reset();
    if (m_Idle) {
        idleStep();
        return false;
    }
    sleepWhileRunning(kConnectRetry);
    if (m_ConnectFailures++ == kAttemptsPerPort - 1) {
        m_ConnectFailures = 0;
        m_PortOffset = (m_PortOffset + 1) % kPortCount;
        // A whole round without a listener: Live is not running.
        if (++m_PortsTried == kPortCount) m_Idle = true;
    }
    return false;
}

// While Live is not running the ports are tried once each, one round a
// second: found as soon, at a small fraction of the wake-ups.
void AbletonClientTCP::idleStep() {
    m_PortOffset = (m_PortOffset + 1) % kPortCount;
    if (++m_PortsTried % kPortCount == 0) sleepWhileRunning(kIdleRoundPause);
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
// calls for. A script that sends what no reader can follow, closes the
// connection or breaks it is connected afresh; one that only stops reading
// (Live is busy) keeps its connection, and what waits for it waits.
void AbletonClientTCP::exchange() {
    const FramedConnection::Outcome outcome = m_Connection.exchange(*this);
    if (outcome.kind == FramedConnection::Outcome::Kind::Going) return;
    if (outcome.kind == FramedConnection::Outcome::Kind::Ended) {
        lost(outcome);
    } else {
        if (outcome.kind == FramedConnection::Outcome::Kind::BadLength) {
            Console::print("Invalid packet length %d\n", static_cast<int>(outcome.length));
        }
        PerformDisconnect(true);
    }
}

void AbletonClientTCP::frameArrived(std::string_view payload) { ProcessPacket(payload.data(), payload.size()); }

void AbletonClientTCP::ProcessMessage(const ReceivedOscMessage& message) {
    ScriptProtocol::stream().route(message.AddressPattern())(m_Context, message);
}

// The script closed the connection or the read failed: said one way where a
// header word or a body would begin, another inside one.
void AbletonClientTCP::lost(const FramedConnection::Outcome& outcome) {
    const int result = static_cast<int>(outcome.result);
    if (outcome.atFieldStart) {
        Console::print("len: %d | errno: %d\n", result, outcome.error);
        Console::print("error receiving from port - len: %d - erno: %d || error: %s\n", result, outcome.error,
                       std::strerror(outcome.error));
        Console::print("Server disconnected1: %d\n", result);
    } else {
        Console::print("Server disconnected2: %d\n", result);
    }
    PerformDisconnect(true);
}

// Runs on the connection's own thread only, so no packet is being handled
// while the socket closes. The requests of the script that went are dropped.
void AbletonClientTCP::PerformDisconnect(bool pause) {
    m_Waveforms->abandon();
    const FrameOutlet::Discarded discarded = m_Connection.close();
    tellDropped("its connection closed", discarded.frames, discarded.bytes);
    m_Connected = false;
    if (pause) sleepWhileRunning(kAfterConnect);
}

void AbletonClientTCP::tellDropped(const char* why, std::size_t frames, std::size_t bytes) {
    if (frames == 0) return;
    CLogger::warn("%zu messages (%zu bytes) for the Live script were dropped: %s", frames, bytes, why);
}

// Writes one frame to the script; the script is cued for it once the stream
// has taken it. No caller ever waits for the script: what the socket does not
// take at once waits for the connection's own thread. With no connection the
// frame goes nowhere and the cue goes out all the same.
void AbletonClientTCP::send(const char* data, std::size_t length) {
    switch (m_Connection.send(OutboundQueue::frame(data, length))) {
        case FrameOutlet::Sent::Refused:
            poke();
            break;
        case FrameOutlet::Sent::Overflow:
            // Within the log's budget: the tablets are held back long before.
            if (LogBudget::take(LogBudget::Kind::Script)) tellDropped("so much already waits for it", 1, length);
            break;
        default:
            break;
    }
}

void AbletonClientTCP::poke(std::size_t frames) {
    for (std::size_t i = 0; i < frames; ++i) m_Cues.cueScript(kFramePoke);
}

void AbletonClientTCP::TransmitMessage(const ReceivedOscMessage& message) {
    if (m_State.accepts()) send(message.EncodedData(), message.EncodedSize());
}

// A ping still waiting to go (Live is busy) is not joined by another.
void AbletonClientTCP::Monitor() {
    if (m_Connected && m_Connection.waiting()) return;
    char buffer[kStreamSize];
    osc::OutboundPacketStream ping(buffer, sizeof buffer);
    ping << osc::BeginMessage("/script/ping") << kPingText << osc::int32(7) << osc::EndMessage;
    send(ping.Data(), ping.Size());
}

void AbletonClientTCP::StartLoad() {
    if (m_Roster.counts().connected == 0 || !m_State.accepts()) return;
    char buffer[kStreamSize];
    osc::OutboundPacketStream load(buffer, sizeof buffer);
    load << osc::BeginMessage("/script/load") << osc::int32(1) << osc::EndMessage;
    send(load.Data(), load.Size());
}

void AbletonClientTCP::StartBundle() {
    if (m_State.accepts()) send(FrameWriter::kEmptyBundle, sizeof FrameWriter::kEmptyBundle);
}

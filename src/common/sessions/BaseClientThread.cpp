#include "BaseClientThread.h"

#include "Clock.h"
#include "Console.h"
#include "FrameWriter.h"
#include "LogBudget.h"
#include "Logger.h"
#include "SocketUtil.h"

#include <oscpack/osc/OscOutboundPacketStream.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <mutex>

namespace {

constexpr std::size_t kPacketBufferSize = 4096;
constexpr std::uint64_t kInitRetrySeconds = 5;
// What a read of the tablet's stream asks for at least.
constexpr std::size_t kReadChunk = 4096;

FrameOutlet::Limits tabletLimits() {
    return {.interactive = BaseClientThread::kQueueLimit,
            .backlog = BaseClientThread::kBacklogMark,
            .bulkWindow = BaseClientThread::kBulkWindow,
            .stallNanoseconds = BaseClientThread::kSendTimeoutSeconds * 1'000'000'000ull,
            .overflowLosesStream = true,
            .unsentCeiling = BaseClientThread::kUnsentCeiling};
}

}  // namespace

BaseClientThread::BaseClientThread(TabletPeers& peers, LogBudget::Kind lifeKind)
    : m_Peers(peers), m_LifeKind(lifeKind),
      m_Connection(tabletLimits(), kReadChunk, {}, [&peers] { peers.tablets.roomFreed(); }),
      m_LastHeardMs(Clock::nowMilliseconds()) {
    if (LogBudget::take(m_LifeKind)) CLogger::debug("BaseClientThread created");
}

BaseClientThread::~BaseClientThread() {
    if (LogBudget::take(m_LifeKind)) CLogger::debug("~BaseClientThread");
}

const BaseClientThread::Frame& BaseClientThread::bundleStartFrame() {
    static const Frame frame = OutboundQueue::frame(FrameWriter::kEmptyBundle, sizeof FrameWriter::kEmptyBundle);
    return frame;
}

void BaseClientThread::Stop() {
    CThread::Stop();
    m_Connection.wake();
}

void BaseClientThread::Work() {
    m_Connection.serveFromThisThread();
    serve();
    // What the stream takes at once still goes out: the pong that answers
    // a "/server/ping" -2, for instance.
    m_Connection.flush();
    PerformDisconnect();
    Finalize();  // destroys this session: nothing may touch it afterwards
}

void BaseClientThread::serve() {
    while (isRunning()) {
        try {
            if (!Init()) {
                pause(kInitRetrySeconds);
                continue;
            }
            if (!exchange()) PerformDisconnect();
        } catch (const std::exception& error) {
            // Nothing a tablet sends, and no shortage, may end the server.
            if (mayLog()) CLogger::error("Session with %s failed: %s", peerAddress().c_str(), error.what());
            PerformDisconnect();
        }
    }
}

// One wait for the stream or a wake-up, then what it calls for. False when
// the stream is lost: the tablet closed it, sent a frame no reader can
// follow, stopped taking frames (it may then hold part of one, so nothing
// more can be sent on this stream), or a drop was asked for. A drop asked for
// while a packet was handled comes after the packet's replies.
bool BaseClientThread::exchange() {
    if (dropAsked()) return false;
    const FramedConnection::Outcome outcome = m_Connection.exchange(*this);
    switch (outcome.kind) {
        case FramedConnection::Outcome::Kind::Going:
            break;
        case FramedConnection::Outcome::Kind::Ended:
            // Said when the stream ends where a header word or a payload would begin.
            if (outcome.atFieldStart) Console::print("Error %d opening socket.\n", outcome.error);
            return false;
        case FramedConnection::Outcome::Kind::BadLength:
            return false;
        case FramedConnection::Outcome::Kind::Lost:
            if (outcome.firstLoss && mayLog()) {
                CLogger::info("Connection with %s lost while sending; disconnecting", peerAddress().c_str());
                tellDiscarded(outcome.discarded);
            }
            b_Connected = false;
            return false;
    }
    return !dropAsked();
}

void BaseClientThread::bytesArrived() { m_LastHeardMs = Clock::nowMilliseconds(); }

// After "/disconnect", later frames on the stream are not read.
bool BaseClientThread::serving() { return isRunning() && m_Connection.socket() != 0; }

bool BaseClientThread::streamWanted() { return !dropPending(); }

void BaseClientThread::frameArrived(std::string_view payload) {
    m_Dispatching = true;
    m_SentTo = 0;
    ProcessPacket(payload.data(), payload.size());
    m_Dispatching = false;
    waitForReceivers();
}

// The script and the confirmed tablets are the receivers a tablet's traffic
// may outrun; its own replies are not (a tablet that asks without reading
// the answers is bounded by its queue's limit and its stall time).
void BaseClientThread::waitForReceivers() {
    unsigned waiting = 0;
    if ((m_SentTo & kSentToScript) != 0 && m_Peers.script.backlogged()) waiting |= kSentToScript;
    if ((m_SentTo & kSentToTablets) != 0 && m_Peers.tablets.backlogged(this)) waiting |= kSentToTablets;
    if (waiting != 0) m_WaitingFor |= waiting;
}

bool BaseClientThread::mayRead() {
    unsigned waiting = m_WaitingFor.load();
    if (waiting == 0) return true;
    if ((waiting & kSentToScript) != 0 && !m_Peers.script.backlogged()) waiting &= ~kSentToScript;
    if ((waiting & kSentToTablets) != 0 && !m_Peers.tablets.backlogged(this)) waiting &= ~kSentToTablets;
    m_WaitingFor = waiting;
    return waiting == 0;
}

void BaseClientThread::wakeIfWaiting() {
    if (m_WaitingFor.load() != 0) m_Connection.wake();
}

void BaseClientThread::tellDiscarded(const FrameOutlet::Discarded& discarded) {
    if (discarded.frames == 0 || !mayLog()) return;
    CLogger::info("%s: %zu frames (%zu bytes) waiting for it were dropped with its connection", peerName().c_str(),
                  discarded.frames, discarded.bytes);
}

bool BaseClientThread::dropPending() const {
    const std::uint64_t asked = m_DropStream.load();
    return asked != 0 && asked == m_Stream.load();
}

bool BaseClientThread::dropAsked() {
    const std::uint64_t asked = m_DropStream.exchange(0);
    return asked != 0 && asked == m_Stream.load();
}

void BaseClientThread::openStream(int socket) {
    ++m_Stream;
    m_LastSeen = Clock::nowSeconds();
    m_LastHeardMs = Clock::nowMilliseconds();
    m_WaitingFor = 0;
    m_Connection.open(socket);
}

void BaseClientThread::closeStream() { tellDiscarded(m_Connection.close()); }

std::vector<std::string> BaseClientThread::queuedPayloads() { return m_Connection.queuedPayloads(); }

void BaseClientThread::SendData(const char* data, std::size_t length) {
    m_Connection.send(OutboundQueue::frame(data, length));
}

void BaseClientThread::SendData(const Frame& frame) { m_Connection.send(frame); }

void BaseClientThread::TransmitMessage(const Frame& frame) {
    if (b_Connected) m_Connection.send(frame);
}

void BaseClientThread::SendBulk(const Frame& frame) { m_Connection.send(frame, FramedConnection::Lane::Bulk); }

void BaseClientThread::StartBundle() { m_Connection.send(bundleStartFrame()); }

// Pauses on the server's clock (so that tests can move it on), ending early
// when the session is stopped.
bool BaseClientThread::pause(std::uint64_t seconds) {
    const std::uint64_t until = Clock::nowNanoseconds() + seconds * 1'000'000'000ull;
    while (isRunning() && Clock::nowNanoseconds() < until) sleepWhileRunning(Clock::pauseStep(until));
    return isRunning();
}

// The stream's number is read before its socket: should a new stream be
// opened meanwhile, the request names the old one and is ignored.
void BaseClientThread::requestDisconnect() {
    const std::uint64_t stream = m_Stream.load();
    if (m_Connection.socket() == 0) return;
    m_DropStream = stream;
    m_Connection.wake();
}

bool BaseClientThread::onOwnThread() const { return m_Connection.onServingThread(); }

bool BaseClientThread::dispatching() const { return onOwnThread() && m_Dispatching; }

void BaseClientThread::Monitor() {
    const std::uint64_t now = Clock::nowSeconds();
    if (b_Connected) {
        char buffer[kPacketBufferSize];
        osc::OutboundPacketStream ping(buffer, sizeof buffer);
        ping << osc::BeginMessage("/app/ping") << osc::int32(12345) << osc::int32(1) << osc::EndMessage;
        SendData(ping.Data(), ping.Size());
        pingSent();
        const std::uint64_t lastSeen = m_LastSeen;
        if (now >= lastSeen && now - lastSeen >= kTimeoutSeconds) timedOut();
        return;
    }
    // A connection the tablet never confirmed is dropped the same way once it
    // has sent nothing for as long.
    if (Clock::nowMilliseconds() >= m_LastHeardMs.load() + kTimeoutSeconds * 1000) timedOut();
}

// What a tablet's traffic makes the session log is within the log's budget.
bool BaseClientThread::mayLog() { return LogBudget::take(LogBudget::Kind::Sessions); }

void BaseClientThread::timedOut() {
    if (mayLog()) CLogger::info("Connection with %s timed out", peerAddress().c_str());
    b_Connected = false;
    m_LastHeardMs = Clock::nowMilliseconds();
    PerformDisconnect();
}

void BaseClientThread::BundleStart(const osc::ReceivedBundle& bundle) {
    if (mayLog()) CLogger::info("Bundle started %lu", static_cast<unsigned long>(bundle.TimeTag()));
    m_SentTo |= kSentToScript;
    m_Peers.script.StartBundle();
}

// The end of a tablet's bundle is not signalled to the script.
void BaseClientThread::BundleEnd(const osc::ReceivedBundle& bundle) {
    if (mayLog()) CLogger::info("Bundle finished %lu", static_cast<unsigned long>(bundle.TimeTag()));
}

void BaseClientThread::ProcessMessage(const ReceivedOscMessage& message) {
    TabletContext context{*this, m_Peers};
    m_SentTo |= TabletProtocol::routes().route(message.AddressPattern())(context, message);
}

void BaseClientThread::setConfirmed(bool confirmed) {
    if (confirmed) m_LastSeen = Clock::nowSeconds();
    b_Connected = confirmed;
}

void BaseClientThread::setName(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_StatusLock);
    m_DeviceName = name;
}

std::string BaseClientThread::name() const {
    std::lock_guard<std::mutex> lock(m_StatusLock);
    return m_DeviceName;
}

std::string BaseClientThread::peerAddress() const { return sockets::dotted(m_Addr); }

std::string BaseClientThread::peerName() const {
    return peerAddress() + ":" + std::to_string(ntohs(m_Addr.sin_port));
}

// The tablet answers every ping in turn, so each answer is matched with the
// oldest ping not yet answered; a tablet far behind keeps a bounded list.
void BaseClientThread::pingSent() {
    constexpr std::size_t kMostOutstanding = 64;
    std::lock_guard<std::mutex> lock(m_StatusLock);
    if (m_PingsSent.size() == kMostOutstanding) m_PingsSent.pop_front();
    m_PingsSent.push_back(Clock::nowNanoseconds());
}

// The answer's round trip is smoothed over a few answers, as TCP smooths
// its own: one late answer does not mark a link slow, a run of them does.
void BaseClientThread::answered() {
    m_LastSeen = Clock::nowSeconds();
    const std::uint64_t now = Clock::nowNanoseconds();
    std::lock_guard<std::mutex> lock(m_StatusLock);
    if (m_PingsSent.empty()) return;
    const auto sample = static_cast<int>(std::min<std::uint64_t>((now - m_PingsSent.front()) / 1'000'000, 1'000'000));
    m_PingsSent.pop_front();
    m_RoundTripMs = m_RoundTripMs < 0 ? sample : (3 * m_RoundTripMs + sample) / 4;
}

TabletStatus BaseClientThread::status() const {
    TabletStatus status;
    status.address = peerAddress();
    std::lock_guard<std::mutex> lock(m_StatusLock);
    status.name = m_DeviceName;
    status.roundTripMs = m_RoundTripMs;
    status.slowLink = m_RoundTripMs > kSlowLinkMilliseconds;
    return status;
}

#include "BaseClientThread.h"

#include "Clock.h"
#include "Console.h"
#include "Logger.h"
#include "ServerLinks.h"
#include "SocketUtil.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <oscpack/osc/OscOutboundPacketStream.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <mutex>

namespace {

constexpr std::size_t kPacketBufferSize = 4096;
constexpr std::uint64_t kInitRetrySeconds = 5;
// How often a pause looks at the server's clock.
constexpr auto kPauseStep = std::chrono::milliseconds(100);
constexpr int kServerVersion = 428;
// While frames wait, the session looks at its send deadline this often.
constexpr int kSendingPollMilliseconds = 250;
constexpr std::uint64_t kSendTimeoutNanoseconds = BaseClientThread::kSendTimeoutSeconds * 1'000'000'000ull;

// An empty bundle with time tag 1 ("immediately").
constexpr char kEmptyBundle[16] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 1};

// The session whose thread is running, so that a session queueing its own
// replies does not wake itself.
thread_local const BaseClientThread* ownSession = nullptr;

}  // namespace

// The tablet's messages the server handles itself, in the order they are
// tested; the first that matches wins. "/broadcast" matches every address
// that begins with it. Every other message goes to the Live script.
struct BaseClientThread::Route {
    const char* address;
    bool prefix;
    void (BaseClientThread::*handle)(const ReceivedOscMessage&);
};

const BaseClientThread::Route BaseClientThread::kRoutes[] = {
    {"/server/ping", false, &BaseClientThread::onServerPing},
    {"/app/pong", false, &BaseClientThread::onAppPong},
    {"/midi", false, &BaseClientThread::onMidi},
    {"/server/getstate", false, &BaseClientThread::onGetState},
    {"/server/reload", false, &BaseClientThread::onReload},
    {"/server/shutdown", false, &BaseClientThread::onShutdown},
    {"/disconnect", false, &BaseClientThread::onDisconnect},
    {"/broadcast", true, &BaseClientThread::onBroadcast},
    {"/device_name", false, &BaseClientThread::onDeviceName},
};

BaseClientThread::BaseClientThread(ServerLinks& links) : m_Links(links), m_LastHeard(Clock::nowSeconds()) {
    CLogger::debug("BaseClientThread created");
}

BaseClientThread::~BaseClientThread() { CLogger::debug("~BaseClientThread"); }

const BaseClientThread::Frame& BaseClientThread::bundleStartFrame() {
    static const Frame frame = OutboundQueue::frame(kEmptyBundle, sizeof kEmptyBundle);
    return frame;
}

void BaseClientThread::Stop() {
    CThread::Stop();
    m_Outlet->wakeup().notify();
}

void BaseClientThread::Work() {
    ownSession = this;
    serve();
    // What the stream takes at once still goes out: the pong that answers
    // a "/server/ping" -2, for instance.
    flush();
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
            CLogger::error("Session with %s failed: %s", peerAddress().c_str(), error.what());
            PerformDisconnect();
        }
    }
}

// One wait for the stream or a wake-up, then what it calls for: reading and
// dispatching what arrived, writing what is queued. False when the stream is lost.
bool BaseClientThread::exchange() {
    if (dropAsked()) return false;
    const int socket = m_Socket;
    const bool sending = m_Outlet->waiting();
    pollfd watched[2] = {{socket, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0},
                         {m_Outlet->wakeup().fd(), POLLIN, 0}};
    if (poll(watched, 2, sending ? kSendingPollMilliseconds : -1) < 0 && errno != EINTR) return false;
    if ((watched[1].revents & POLLIN) != 0) m_Outlet->wakeup().drain();
    if (dropAsked()) return false;
    if ((watched[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !receive(socket)) return false;
    if (!isRunning() || m_Socket != socket) return true;
    const bool flushed = flush();
    // A drop asked for while a packet was handled comes after its replies.
    if (dropAsked()) return false;
    return flushed;
}

bool BaseClientThread::dropAsked() {
    const std::uint64_t asked = m_DropStream.exchange(0);
    return asked != 0 && asked == m_Stream.load();
}

bool BaseClientThread::receive(int socket) {
    const std::span<char> space = m_Reader.space();
    const ssize_t got = recv(socket, space.data(), space.size(), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
    if (got <= 0) {
        // The end of the stream, or an error: reported when it comes where a
        // header word or a payload would begin.
        if (m_Reader.atFieldStart()) Console::print("Error %d opening socket.\n", errno);
        return false;
    }
    m_Reader.commit(static_cast<std::size_t>(got));
    m_LastHeard = Clock::nowSeconds();
    return dispatchFrames();
}

// Dispatches every complete frame received, as long as the session runs:
// after "/disconnect", later frames on the stream are not read.
bool BaseClientThread::dispatchFrames() {
    while (isRunning() && m_Socket != 0) {
        const FrameReader::Next next = m_Reader.next();
        switch (next.event) {
            case FrameReader::Event::NeedMore:
                return true;
            case FrameReader::Event::LengthError:
                return false;
            case FrameReader::Event::Skipped:
                break;
            case FrameReader::Event::Frame:
                m_Dispatching = true;
                ProcessPacket(next.payload.data(), next.payload.size(), m_Addr);
                m_Dispatching = false;
                break;
        }
    }
    return true;
}

// Writes what is queued, as much as the stream takes without waiting. False
// when the tablet stopped taking frames: it may hold part of one, so nothing
// more can be sent on this stream.
bool BaseClientThread::flush() {
    const SessionOutlet::Flushed flushed = m_Outlet->flush(kSendTimeoutNanoseconds);
    if (!flushed.lost) return true;
    if (flushed.firstLoss) {
        CLogger::info("Connection with %s lost while sending; disconnecting", peerAddress().c_str());
    }
    b_Connected = false;
    return false;
}

void BaseClientThread::enqueue(const Frame& frame) { m_Outlet->push(frame, ownSession == this); }

void BaseClientThread::resetStream(bool streamOpen) {
    if (streamOpen) {
        ++m_Stream;
        m_LastHeard = m_LastSeen = Clock::nowSeconds();
        m_Outlet->open(m_Socket);
    } else {
        m_Outlet->close();
    }
    m_Reader.reset();
}

std::vector<std::string> BaseClientThread::queuedPayloads() { return m_Outlet->payloads(); }

void BaseClientThread::SendData(const char* data, std::size_t length) {
    enqueue(OutboundQueue::frame(data, length));
}

void BaseClientThread::SendData(const Frame& frame) { enqueue(frame); }

void BaseClientThread::TransmitMessage(const ReceivedOscMessage& message) {
    if (b_Connected) SendData(message.EncodedData(), message.EncodedSize());
}

void BaseClientThread::TransmitMessage(const Frame& frame) {
    if (b_Connected) enqueue(frame);
}

void BaseClientThread::StartBundle() { enqueue(bundleStartFrame()); }

// Pauses on the server's clock (so that tests can move it on), ending early
// when the session is stopped.
bool BaseClientThread::pause(std::uint64_t seconds) {
    const std::uint64_t until = Clock::nowNanoseconds() + seconds * 1'000'000'000ull;
    while (isRunning() && Clock::nowNanoseconds() < until) sleepWhileRunning(kPauseStep);
    return isRunning();
}

// The stream's number is read before its socket: should a new stream be
// opened meanwhile, the request names the old one and is ignored.
void BaseClientThread::requestDisconnect() {
    const std::uint64_t stream = m_Stream.load();
    if (m_Socket == 0) return;
    m_DropStream = stream;
    m_Outlet->wakeup().notify();
}

bool BaseClientThread::onOwnThread() const { return ownSession == this; }

bool BaseClientThread::dispatching() const { return onOwnThread() && m_Dispatching; }

void BaseClientThread::closeSocket() {
    m_Outlet->close();  // no frame is written to the descriptor from now on
    if (const int socket = m_Socket.exchange(0); socket > 0) close(socket);
}

void BaseClientThread::Monitor() {
    const std::uint64_t now = Clock::nowSeconds();
    if (b_Connected) {
        char buffer[kPacketBufferSize];
        osc::OutboundPacketStream ping(buffer, sizeof buffer);
        ping << osc::BeginMessage("/app/ping") << osc::int32(12345) << osc::int32(1) << osc::EndMessage;
        SendData(ping.Data(), ping.Size());
        const std::uint64_t lastSeen = m_LastSeen;
        if (now >= lastSeen && now - lastSeen >= kTimeoutSeconds) timedOut();
        return;
    }
    // A connection the tablet never confirmed is dropped the same way once it
    // has sent nothing for as long.
    const std::uint64_t lastHeard = m_LastHeard;
    if (now >= lastHeard && now - lastHeard >= kTimeoutSeconds) timedOut();
}

void BaseClientThread::timedOut() {
    CLogger::info("Connection with %s timed out", peerAddress().c_str());
    b_Connected = false;
    m_LastHeard = Clock::nowSeconds();
    PerformDisconnect();
}

void BaseClientThread::BundleStart(const osc::ReceivedBundle& bundle, const sockaddr_in&) {
    CLogger::info("Bundle started %lu", static_cast<unsigned long>(bundle.TimeTag()));
    m_Links.scriptBundleStart();
}

void BaseClientThread::BundleEnd(const osc::ReceivedBundle& bundle, const sockaddr_in&) {
    CLogger::info("Bundle finished %lu", static_cast<unsigned long>(bundle.TimeTag()));
    m_Links.scriptBundleEnd();
}

void BaseClientThread::ProcessMessage(const ReceivedOscMessage& message, const sockaddr_in&) {
    const char* address = message.AddressPattern();
    for (const Route& route : kRoutes) {
        const bool matches = route.prefix ? std::strncmp(address, route.address, std::strlen(route.address)) == 0
                                          : std::strcmp(address, route.address) == 0;
        if (matches) return (this->*route.handle)(message);
    }
    m_Links.toScript(message);
}

// "/server/ping" [state]: 1 confirms the session, -1 unconfirms it, -2 drops
// the stream; a pong answers every ping.
void BaseClientThread::onServerPing(const ReceivedOscMessage& message) {
    if (message.ArgumentCount() >= 1) {
        const int state = message.ArgumentsBegin()->AsInt32();
        if (state == 1) {
            m_LastSeen = Clock::nowSeconds();
            b_Connected = true;
            Console::print("server/ping with %d - b_Connected = TRUE, device_name: %s \n", state,
                           m_DeviceName.c_str());
        } else if (state == -1) {
            b_Connected = false;
        } else if (state == -2) {
            PerformDisconnect();
        }
    }
    sendPong();
}

// "/app/pong" [1]: the tablet is alive; with 1 it also wants the full state.
void BaseClientThread::onAppPong(const ReceivedOscMessage& message) {
    m_LastSeen = Clock::nowSeconds();
    const auto first = message.ArgumentsBegin();
    if (message.ArgumentCount() >= 1 && first->IsInt32() && first->AsInt32() == 1) m_Links.scriptStartLoad();
}

// "/midi" status data [data]: the low byte of each, as one MIDI message.
void BaseClientThread::onMidi(const ReceivedOscMessage& message) {
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

// "/server/state": script available, Wi-Fi sessions, USB sessions.
void BaseClientThread::onGetState(const ReceivedOscMessage&) {
    const bool available = m_Links.scriptStatus().available;
    const SessionCounts sessions = m_Links.sessionCounts();
    char buffer[kPacketBufferSize];
    osc::OutboundPacketStream state(buffer, sizeof buffer);
    state << osc::BeginMessage("/server/state") << available << osc::int32(static_cast<int>(sessions.wifi))
          << osc::int32(static_cast<int>(sessions.usb)) << osc::EndMessage;
    SendData(state.Data(), state.Size());
}

void BaseClientThread::onReload(const ReceivedOscMessage&) { m_Links.scriptStartLoad(); }

void BaseClientThread::onShutdown(const ReceivedOscMessage&) { m_Links.requestShutdown(); }

void BaseClientThread::onDisconnect(const ReceivedOscMessage&) { Stop(); }

// To the Live script, then to every other confirmed tablet.
void BaseClientThread::onBroadcast(const ReceivedOscMessage& message) {
    m_Links.toScript(message);
    m_Links.toConnectedSessions(message, this);
}

// "/device_name" name: remembered; answered with "/host_name", the
// computer's name as the tablets know it, and an empty string.
void BaseClientThread::onDeviceName(const ReceivedOscMessage& message) {
    m_DeviceName = message.ArgumentsBegin()->AsString();
    const std::string name = m_Links.usbComputerName();
    char buffer[kPacketBufferSize];
    osc::OutboundPacketStream reply(buffer, sizeof buffer);
    reply << osc::BeginMessage("/host_name") << name.c_str() << "" << osc::EndMessage;
    SendData(reply.Data(), reply.Size());
}

// "/server/pong": script version, 428, script available, the script's info
// triple, Live running.
void BaseClientThread::sendPong() {
    const ScriptStatus script = m_Links.scriptStatus();
    char buffer[kPacketBufferSize];
    osc::OutboundPacketStream pong(buffer, sizeof buffer);
    pong << osc::BeginMessage("/server/pong") << osc::int32(script.version) << osc::int32(kServerVersion)
         << osc::int32(script.available ? 1 : 0) << osc::int32(script.info[0]) << osc::int32(script.info[1])
         << osc::int32(script.info[2]) << osc::int32(m_Links.liveRunning() ? 1 : 0) << osc::EndMessage;
    SendData(pong.Data(), pong.Size());
}

std::string BaseClientThread::peerAddress() const { return sockets::dotted(m_Addr); }

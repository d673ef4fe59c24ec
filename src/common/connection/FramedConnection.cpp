#include "FramedConnection.h"

#include "WakeBatch.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace {

// While frames wait, the serving thread looks at their deadline this often.
constexpr int kSendingPollMilliseconds = 250;
// While reading is paused, it looks again this often should no room signal
// come (room is normally signalled at once).
constexpr int kPausedPollMilliseconds = 100;

}  // namespace

FramedConnection::FramedConnection(FrameOutlet::Limits limits, std::size_t readChunk, FrameOutlet::Written written,
                                   FrameOutlet::Room room)
    : m_Outlet(std::make_shared<FrameOutlet>(limits, std::move(written), std::move(room))), m_Reader(readChunk) {
    m_Outlet->close();  // nothing is queued until a stream is open
}

FramedConnection::~FramedConnection() { close(); }

void FramedConnection::open(int socket) {
    close();
    m_Reader.reset();
    m_Held = false;
    m_Socket = socket;
    m_Outlet->open(socket);
}

FrameOutlet::Discarded FramedConnection::close() {
    const FrameOutlet::Discarded discarded = m_Outlet->close();  // nothing is written to the descriptor from now on
    if (const int socket = m_Socket.exchange(0); socket > 0) ::close(socket);
    return discarded;
}

FramedConnection::Outcome FramedConnection::exchange(Handler& handler) {
    const int socket = m_Socket;
    const bool reading = handler.mayRead();
    if (reading && m_Held) {
        const Outcome held = dispatch(handler);
        if (held.kind != Outcome::Kind::Going) return held;
    }
    const bool sending = m_Outlet->waiting();
    pollfd watched[2] = {{socket, static_cast<short>((reading ? POLLIN : 0) | (sending ? POLLOUT : 0)), 0},
                         {m_Outlet->wakeup().fd(), POLLIN, 0}};
    const int wait = sending ? kSendingPollMilliseconds : reading ? -1 : kPausedPollMilliseconds;
    if (poll(watched, 2, wait) < 0) {
        if (errno == EINTR) return {};
        return {.kind = Outcome::Kind::Ended, .result = -1, .error = errno, .atFieldStart = m_Reader.atFieldStart()};
    }
    if ((watched[1].revents & POLLIN) != 0) m_Outlet->wakeup().drain();
    if (!handler.serving() || !handler.streamWanted()) return {};
    // A broken stream is read even while paused, so that its end is found.
    if ((watched[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        const Outcome received = receive(socket, handler);
        if (received.kind != Outcome::Kind::Going) return received;
    }
    if (!handler.serving() || m_Socket != socket) return {};
    return flush();
}

FramedConnection::Outcome FramedConnection::receive(int socket, Handler& handler) {
    const std::span<char> space = m_Reader.space();
    // Full of frames a pause holds back, so only a broken stream is read
    // here: it is given up, as its peer can no longer be answered.
    if (space.empty()) return {.kind = Outcome::Kind::Ended, .result = -1, .error = EPIPE};
    const ssize_t got = recv(socket, space.data(), space.size(), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return {};
    if (got <= 0) {
        return {.kind = Outcome::Kind::Ended, .result = got, .error = errno, .atFieldStart = m_Reader.atFieldStart()};
    }
    m_Reader.commit(static_cast<std::size_t>(got));
    handler.bytesArrived();
    m_Held = true;
    return dispatch(handler);
}

// Hands on every frame held, while the handler serves and may read. What the
// first frame's handling sends to other connections goes out at once; when
// more frames follow, what their handling sends waits, and each connection is
// woken (or written) once, at the end: a run of frames goes out in few
// writes, a single frame without delay.
FramedConnection::Outcome FramedConnection::dispatch(Handler& handler) {
    std::optional<WakeBatch> batch;
    for (bool first = true; handler.serving(); first = false) {
        if (!handler.mayRead()) return {};  // the rest waits in the reader
        if (!first && !batch) batch.emplace();
        const FrameReader::Next next = m_Reader.next();
        switch (next.event) {
            case FrameReader::Event::NeedMore:
                m_Held = false;
                return {};
            case FrameReader::Event::LengthError:
                return {.kind = Outcome::Kind::BadLength, .length = next.length};
            case FrameReader::Event::Skipped:
                break;
            case FrameReader::Event::Frame:
                handler.frameArrived(next.payload);
                break;
        }
    }
    return {};
}

FramedConnection::Outcome FramedConnection::flush() {
    const FrameOutlet::Flushed flushed = m_Outlet->flush();
    if (!flushed.lost) return {};
    return {.kind = Outcome::Kind::Lost, .firstLoss = flushed.firstLoss, .discarded = flushed.discarded};
}

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
constexpr std::uint64_t kStallNanoseconds = FramedConnection::kStallSeconds * 1'000'000'000ull;

}  // namespace

FramedConnection::FramedConnection(std::size_t queueLimit, std::size_t readChunk, FrameOutlet::Written written)
    : m_Outlet(std::make_shared<FrameOutlet>(queueLimit, std::move(written))), m_Reader(readChunk) {
    m_Outlet->close();  // nothing is queued until a stream is open
}

FramedConnection::~FramedConnection() { close(); }

void FramedConnection::open(int socket) {
    close();
    m_Reader.reset();
    m_Socket = socket;
    m_Outlet->open(socket);
}

void FramedConnection::close() {
    m_Outlet->close();  // no frame is written to the descriptor from now on
    if (const int socket = m_Socket.exchange(0); socket > 0) ::close(socket);
}

FramedConnection::Outcome FramedConnection::exchange(Handler& handler) {
    const int socket = m_Socket;
    const bool sending = m_Outlet->waiting();
    pollfd watched[2] = {{socket, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0},
                         {m_Outlet->wakeup().fd(), POLLIN, 0}};
    if (poll(watched, 2, sending ? kSendingPollMilliseconds : -1) < 0) {
        if (errno == EINTR) return {};
        return {.kind = Outcome::Kind::Ended, .result = -1, .error = errno, .atFieldStart = m_Reader.atFieldStart()};
    }
    if ((watched[1].revents & POLLIN) != 0) m_Outlet->wakeup().drain();
    if (!handler.serving() || !handler.streamWanted()) return {};
    if ((watched[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        const Outcome received = receive(socket, handler);
        if (received.kind != Outcome::Kind::Going) return received;
    }
    if (!handler.serving() || m_Socket != socket) return {};
    return flush();
}

// Reads what arrived and hands on every frame it completes, while the
// handler serves. What the first frame's handling sends to other connections
// goes out at once; when more frames follow in the same read, what their
// handling sends waits, and each connection is woken (or written) once, at
// the end: a run of frames goes out in few writes, a single frame without delay.
FramedConnection::Outcome FramedConnection::receive(int socket, Handler& handler) {
    const std::span<char> space = m_Reader.space();
    const ssize_t got = recv(socket, space.data(), space.size(), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return {};
    if (got <= 0) {
        return {.kind = Outcome::Kind::Ended, .result = got, .error = errno, .atFieldStart = m_Reader.atFieldStart()};
    }
    m_Reader.commit(static_cast<std::size_t>(got));
    handler.bytesArrived();
    std::optional<WakeBatch> batch;
    for (bool first = true; handler.serving(); first = false) {
        if (!first && !batch) batch.emplace();
        const FrameReader::Next next = m_Reader.next();
        switch (next.event) {
            case FrameReader::Event::NeedMore:
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
    const FrameOutlet::Flushed flushed = m_Outlet->flush(kStallNanoseconds);
    if (!flushed.lost) return {};
    return {.kind = Outcome::Kind::Lost, .firstLoss = flushed.firstLoss};
}

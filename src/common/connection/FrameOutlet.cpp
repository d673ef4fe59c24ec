#include "FrameOutlet.h"

#include "Clock.h"
#include "FrameHeader.h"
#include "WakeBatch.h"

#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <mutex>

namespace {

// Frames handed to one gathering write.
constexpr std::size_t kWriteBatch = IOV_MAX;
// The largest frame a batch's end writes itself.
constexpr std::size_t kDirectFrameLimit = 4096;

bool wouldWait(ssize_t result) {
    return result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

ssize_t writeParts(int socket, iovec* parts, std::size_t count) {
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = count;
    return sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace

FrameOutlet::FrameOutlet(std::size_t limitBytes, Written written)
    : m_Queue(limitBytes), m_Written(std::move(written)) {}

void FrameOutlet::reportWritten(std::size_t frames) const {
    if (frames > 0 && m_Written) m_Written(frames);
}

FrameOutlet::Sent FrameOutlet::push(const Frame& frame, bool servingThread) {
    Sent sent = Sent::Queued;
    bool wake = false;
    {
        std::lock_guard<CThreadMutex> lock(m_Lock);
        if (m_Failed || m_Socket < 0 || !frame) return Sent::Refused;
        if (m_Queue.empty() && !m_Writing && !servingThread && !WakeBatch::isOpen()) {
            sent = writeThrough(frame, wake);
        } else {
            switch (m_Queue.push(frame)) {
                case OutboundQueue::Push::Queued:
                    break;
                case OutboundQueue::Push::First:
                    m_LastProgress = Clock::nowNanoseconds();
                    wake = true;
                    break;
                case OutboundQueue::Push::Overflow:
                    m_Failed = true;
                    wake = true;
                    sent = Sent::Dropped;
                    break;
            }
        }
    }
    if (sent == Sent::Written) reportWritten(1);
    if (wake && !servingThread && !WakeBatch::defer(shared_from_this())) m_Wakeup.notify();
    return sent;
}

// What the stream does not take at once waits for the serving thread, which
// is woken to write it as the stream drains.
FrameOutlet::Sent FrameOutlet::writeThrough(const Frame& frame, bool& wake) {
    iovec whole{const_cast<char*>(frame->data()), frame->size()};
    const ssize_t sent = writeParts(m_Socket, &whole, 1);
    if (sent == static_cast<ssize_t>(frame->size())) return Sent::Written;
    wake = true;
    if (!wouldWait(sent) && sent <= 0) {
        m_Failed = true;
        return Sent::Dropped;
    }
    m_Queue.push(frame);
    m_Queue.consume(static_cast<std::size_t>(sent > 0 ? sent : 0));
    m_LastProgress = Clock::nowNanoseconds();
    return Sent::Queued;
}

FrameOutlet::Flushed FrameOutlet::flush(std::uint64_t stallNanoseconds) {
    Flushed result;
    while (true) {
        iovec parts[kWriteBatch];
        std::size_t count = 0;
        int socket = -1;
        {
            std::lock_guard<CThreadMutex> lock(m_Lock);
            if (m_Failed || m_Socket < 0) break;
            count = m_Queue.gather(parts, kWriteBatch);
            if (count == 0) return result;
            socket = m_Socket;
            m_Writing = true;
        }
        const ssize_t sent = writeParts(socket, parts, count);
        std::size_t completed = 0;
        {
            std::lock_guard<CThreadMutex> lock(m_Lock);
            m_Writing = false;
            if (wouldWait(sent)) break;
            if (sent <= 0) {
                m_Failed = true;
                break;
            }
            completed = m_Queue.consume(static_cast<std::size_t>(sent));
            m_LastProgress = Clock::nowNanoseconds();
        }
        reportWritten(completed);
    }
    std::lock_guard<CThreadMutex> lock(m_Lock);
    const bool stalled = !m_Queue.empty() && Clock::nowNanoseconds() - m_LastProgress >= stallNanoseconds;
    if (!m_Failed && !stalled) return result;
    // The peer may hold part of a frame: nothing more can go on this stream.
    m_Failed = true;
    m_Queue.clear();
    result.lost = true;
    result.firstLoss = !m_LossFound;
    m_LossFound = true;
    return result;
}

bool FrameOutlet::waiting() {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    return !m_Queue.empty() || (m_Failed && m_Socket >= 0 && !m_LossFound);
}

void FrameOutlet::open(int socket) {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    m_Queue.clear();
    m_Socket = socket;
    m_Failed = false;
    m_LossFound = false;
}

void FrameOutlet::close() {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    m_Queue.clear();
    m_Socket = -1;
    m_Failed = true;
}

std::vector<std::string> FrameOutlet::payloads() {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    iovec parts[kWriteBatch];
    const std::size_t count = m_Queue.gather(parts, kWriteBatch);
    std::vector<std::string> result;
    for (std::size_t i = 0; i < count; ++i) {
        const char* frame = static_cast<const char*>(parts[i].iov_base);
        result.emplace_back(frame + FrameHeader::kSize, parts[i].iov_len - FrameHeader::kSize);
    }
    return result;
}

void FrameOutlet::release() {
    std::size_t completed = 0;
    bool wake = true;
    {
        std::lock_guard<CThreadMutex> lock(m_Lock);
        iovec parts[2];
        if (!m_Writing && !m_Failed && m_Socket >= 0 && m_Queue.bytes() <= kDirectFrameLimit &&
            m_Queue.gather(parts, 2) == 1) {
            const ssize_t sent = writeParts(m_Socket, parts, 1);
            if (sent > 0) {
                completed = m_Queue.consume(static_cast<std::size_t>(sent));
                m_LastProgress = Clock::nowNanoseconds();
            }
            wake = !m_Queue.empty();
        }
    }
    reportWritten(completed);
    if (wake) m_Wakeup.notify();
}

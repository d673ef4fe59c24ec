#include "SessionOutlet.h"

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

}  // namespace

SessionOutlet::SessionOutlet(std::size_t limitBytes) : m_Queue(limitBytes) {}

void SessionOutlet::push(const Frame& frame, bool ownThread) {
    bool wake = false;
    {
        std::lock_guard<CThreadMutex> lock(m_Lock);
        if (m_Failed) return;
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
                break;
        }
    }
    if (wake && !ownThread && !WakeBatch::defer(shared_from_this())) m_Wakeup.notify();
}

SessionOutlet::Flushed SessionOutlet::flush(std::uint64_t sendTimeoutNanoseconds) {
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
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = count;
        const ssize_t sent = sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        std::lock_guard<CThreadMutex> lock(m_Lock);
        m_Writing = false;
        if (wouldWait(sent)) break;
        if (sent <= 0) {
            m_Failed = true;
            break;
        }
        m_Queue.consume(static_cast<std::size_t>(sent));
        m_LastProgress = Clock::nowNanoseconds();
        result.wrote = true;
    }
    std::lock_guard<CThreadMutex> lock(m_Lock);
    const bool stalled = !m_Queue.empty() && Clock::nowNanoseconds() - m_LastProgress >= sendTimeoutNanoseconds;
    if (!m_Failed && !stalled) return result;
    // The tablet may hold part of a frame: nothing more can go on this stream.
    m_Failed = true;
    m_Queue.clear();
    result.lost = true;
    result.firstLoss = !m_LossFound;
    m_LossFound = true;
    return result;
}

bool SessionOutlet::waiting() {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    return !m_Queue.empty() || (m_Failed && m_Socket >= 0 && !m_LossFound);
}

void SessionOutlet::open(int socket) {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    m_Queue.clear();
    m_Socket = socket;
    m_Failed = false;
    m_LossFound = false;
}

void SessionOutlet::close() {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    m_Queue.clear();
    m_Socket = -1;
    m_Failed = true;
}

std::vector<std::string> SessionOutlet::payloads() {
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

void SessionOutlet::release() {
    {
        std::lock_guard<CThreadMutex> lock(m_Lock);
        iovec parts[2];
        if (!m_Writing && !m_Failed && m_Socket >= 0 && m_Queue.bytes() <= kDirectFrameLimit &&
            m_Queue.gather(parts, 2) == 1) {
            msghdr message{};
            message.msg_iov = parts;
            message.msg_iovlen = 1;
            const ssize_t sent = sendmsg(m_Socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0) {
                m_Queue.consume(static_cast<std::size_t>(sent));
                m_LastProgress = Clock::nowNanoseconds();
            }
            if (m_Queue.empty()) return;
        }
    }
    m_Wakeup.notify();
}

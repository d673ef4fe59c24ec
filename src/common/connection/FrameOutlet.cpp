#include "FrameOutlet.h"

#include "Clock.h"
#include "FrameHeader.h"
#include "SocketUtil.h"
#include "WakeBatch.h"

#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <limits>
#include <mutex>

namespace {

// Frames handed to one gathering write.
constexpr std::size_t kWriteBatch = IOV_MAX;
// The largest frame a batch's end writes itself.
constexpr std::size_t kDirectFrameLimit = 4096;

bool wouldWait(ssize_t result) {
    return result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

// Shortens `parts` to at most `most` bytes; returns how many parts are left.
std::size_t trimmed(iovec* parts, std::size_t count, std::size_t most) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (total + parts[i].iov_len >= most) {
            parts[i].iov_len = most - total;
            return i + 1;
        }
        total += parts[i].iov_len;
    }
    return count;
}

ssize_t writeParts(int socket, iovec* parts, std::size_t count) {
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = count;
    return sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace

FrameOutlet::FrameOutlet(Limits limits, Written written, Room room)
    : m_Limits(limits), m_Queue(limits.interactive), m_Written(std::move(written)), m_Room(std::move(room)) {}

void FrameOutlet::report(std::size_t frames, bool room) const {
    if (frames > 0 && m_Written) m_Written(frames);
    if (room && m_Room) m_Room();
}

bool FrameOutlet::roomMade(std::size_t interactiveBefore, std::size_t bulkBefore) const {
    const bool backlogEased = interactiveBefore >= m_Limits.backlog && m_Queue.interactiveBytes() < m_Limits.backlog;
    const bool bulkEased = bulkBefore >= m_Limits.bulkWindow && m_Queue.bulkBytes() < m_Limits.bulkWindow;
    return backlogEased || bulkEased;
}

FrameOutlet::Sent FrameOutlet::push(const Frame& frame, Lane lane, bool servingThread) {
    Sent sent = Sent::Queued;
    bool wake = false;
    {
        std::lock_guard<CThreadMutex> lock(m_Lock);
        if (m_Failed || m_Socket < 0 || !frame) return Sent::Refused;
        const bool mayGoNow = lane == Lane::Interactive && !m_Queue.midFrame() && !m_Queue.interactiveWaiting();
        if (mayGoNow && !m_Writing && !servingThread && !WakeBatch::isOpen()) {
            sent = writeThrough(frame, wake);
        } else {
            switch (m_Queue.push(frame, lane)) {
                case OutboundQueue::Push::Queued:
                    break;
                case OutboundQueue::Push::First:
                    m_LastProgress = Clock::nowNanoseconds();
                    wake = true;
                    break;
                case OutboundQueue::Push::Overflow:
                    if (!m_Limits.overflowLosesStream) return Sent::Overflow;
                    m_Failed = true;
                    wake = true;
                    sent = Sent::Dropped;
                    break;
            }
        }
    }
    if (sent == Sent::Written) report(1, false);
    if (wake && !servingThread && !WakeBatch::defer(shared_from_this())) m_Wakeup.notify();
    return sent;
}

// What the stream does not take at once waits for the serving thread, which
// is woken to write it as the stream drains; a frame it took in part is
// finished before anything else.
FrameOutlet::Sent FrameOutlet::writeThrough(const Frame& frame, bool& wake) {
    iovec whole{const_cast<char*>(frame->data()), frame->size()};
    const ssize_t sent = writeParts(m_Socket, &whole, 1);
    if (sent == static_cast<ssize_t>(frame->size())) return Sent::Written;
    wake = true;
    if (!wouldWait(sent) && sent <= 0) {
        m_Failed = true;
        return Sent::Dropped;
    }
    const bool first = m_Queue.empty();
    m_Queue.push(frame, Lane::Interactive);
    // The frame is the only ordinary one waiting: the write began with it.
    if (sent > 0) m_Queue.consume({.parts = 1, .interactive = 1}, static_cast<std::size_t>(sent));
    if (first || sent > 0) m_LastProgress = Clock::nowNanoseconds();
    return Sent::Queued;
}

FrameOutlet::Flushed FrameOutlet::flush() {
    Flushed result;
    while (true) {
        iovec parts[kWriteBatch];
        OutboundQueue::Gathered gathered;
        int socket = -1;
        std::size_t kernelRoom = 0;
        {
            std::lock_guard<CThreadMutex> lock(m_Lock);
            if (m_Failed || m_Socket < 0) break;
            gathered = m_Queue.gather(parts, kWriteBatch);
            if (gathered.parts == 0) return result;
            socket = m_Socket;
            // Full: the stream's wake-up comes once the kernel has sent more.
            kernelRoom = roomInKernel(socket);
            if (kernelRoom == 0) break;
            m_Writing = true;
        }
        // The bytes consumed are counted in gathered order, so a write that
        // offers only the first of them is consumed alike.
        const ssize_t sent = writeParts(socket, parts, trimmed(parts, gathered.parts, kernelRoom));
        std::size_t completed = 0;
        bool room = false;
        {
            std::lock_guard<CThreadMutex> lock(m_Lock);
            m_Writing = false;
            if (wouldWait(sent)) break;
            if (sent <= 0) {
                m_Failed = true;
                break;
            }
            const std::size_t interactiveBefore = m_Queue.interactiveBytes();
            const std::size_t bulkBefore = m_Queue.bulkBytes();
            completed = m_Queue.consume(gathered, static_cast<std::size_t>(sent));
            room = roomMade(interactiveBefore, bulkBefore);
            m_LastProgress = Clock::nowNanoseconds();
        }
        report(completed, room);
    }
    std::lock_guard<CThreadMutex> lock(m_Lock);
    const bool stalled = m_Limits.stallNanoseconds != 0 && !m_Queue.empty() &&
                         Clock::nowNanoseconds() - m_LastProgress >= m_Limits.stallNanoseconds;
    if (!m_Failed && !stalled) return result;
    // The peer may hold part of a frame: nothing more can go on this stream.
    m_Failed = true;
    result.discarded = discardAll();
    result.lost = true;
    result.firstLoss = !m_LossFound;
    m_LossFound = true;
    return result;
}

// What a write may hand the kernel: up to the unsent ceiling (no limit
// without one, or where the socket cannot tell, as a local stream cannot).
std::size_t FrameOutlet::roomInKernel(int socket) const {
    constexpr std::size_t kUnlimited = 0;
    if (m_Limits.unsentCeiling == 0) return std::numeric_limits<std::size_t>::max();
    const long unsent = sockets::unsentBytes(socket);
    if (unsent < 0) return std::numeric_limits<std::size_t>::max();
    const auto held = static_cast<std::size_t>(unsent);
    return held >= m_Limits.unsentCeiling ? kUnlimited : m_Limits.unsentCeiling - held;
}

FrameOutlet::Discarded FrameOutlet::discardAll() {
    const Discarded discarded{m_Queue.frames(), m_Queue.bytes()};
    m_Queue.clear();
    return discarded;
}

bool FrameOutlet::waiting() {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    return !m_Queue.empty() || (m_Failed && m_Socket >= 0 && !m_LossFound);
}

bool FrameOutlet::backlogged() {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    return m_Socket >= 0 && !m_Failed && m_Queue.interactiveBytes() >= m_Limits.backlog;
}

bool FrameOutlet::bulkRoom() {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    return m_Socket < 0 || m_Failed || m_Queue.bulkBytes() < m_Limits.bulkWindow;
}

void FrameOutlet::open(int socket) {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    m_Queue.clear();
    m_Socket = socket;
    m_Failed = false;
    m_LossFound = false;
}

// Says nothing to those waiting for room: it may be called under locks of
// the stream's owner, and a closed stream's room is found when looked at.
FrameOutlet::Discarded FrameOutlet::close() {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    const Discarded discarded = discardAll();
    m_Socket = -1;
    m_Failed = true;
    return discarded;
}

std::vector<std::string> FrameOutlet::payloads() {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    iovec parts[kWriteBatch];
    const OutboundQueue::Gathered gathered = m_Queue.gather(parts, kWriteBatch);
    std::vector<std::string> result;
    for (std::size_t i = 0; i < gathered.parts; ++i) {
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
        const OutboundQueue::Gathered gathered =
            m_Writing || m_Failed || m_Socket < 0 ? OutboundQueue::Gathered{} : m_Queue.gather(parts, 2);
        if (gathered.parts == 1 && m_Queue.bytes() <= kDirectFrameLimit) {
            const ssize_t sent = writeParts(m_Socket, parts, 1);
            if (sent > 0) {
                completed = m_Queue.consume(gathered, static_cast<std::size_t>(sent));
                m_LastProgress = Clock::nowNanoseconds();
            }
            wake = !m_Queue.empty();
        }
    }
    report(completed, false);
    if (wake) m_Wakeup.notify();
}

#pragma once

#include "OutboundQueue.h"
#include "ThreadMutex.h"
#include "Wakeup.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// What waits to be written to one session's stream: a bounded queue of
// frames, the stream's descriptor while it is open, and the wake-up of the
// session's thread, which writes the queue. Shared by the session, the
// threads that queue frames for it and a batch that wakes it later, so that
// it outlives a session that ends meanwhile.
class SessionOutlet : public std::enable_shared_from_this<SessionOutlet> {
public:
    using Frame = OutboundQueue::Frame;

    explicit SessionOutlet(std::size_t limitBytes);

    // Any thread: queues the frame and wakes the session's thread, or holds
    // the wake in the calling thread's open batch. `ownThread`: the session
    // queues its own replies and needs no wake-up.
    void push(const Frame& frame, bool ownThread);

    struct Flushed {
        bool lost = false;       // the stream took no byte for the time-out, broke, or its queue overflowed
        bool firstLoss = false;  // this is the first flush to find it so
        bool wrote = false;      // bytes went out
    };
    // The session's thread: writes what waits, as much as the stream takes
    // without waiting, many frames per call.
    Flushed flush(std::uint64_t sendTimeoutNanoseconds);
    // Whether frames wait (or a loss is still to be found by flush).
    bool waiting();

    // The stream opened: frames are written to `socket` from now on.
    void open(int socket);
    // The stream is gone: what waited is dropped, and frames are dropped
    // until the next open.
    void close();

    Wakeup& wakeup() { return m_Wakeup; }
    // The payloads waiting, oldest first.
    std::vector<std::string> payloads();

    // The end of a batch: a single small frame waiting is written at once
    // when the stream takes it whole, which spares the session's thread a
    // wake-up on the way of sparse traffic; otherwise the thread is woken.
    void release();

private:
    CThreadMutex m_Lock;  // guards what follows
    OutboundQueue m_Queue;
    int m_Socket = -1;
    bool m_Writing = false;  // the session's thread is writing what it took from the queue
    bool m_Failed = false;
    bool m_LossFound = false;
    std::uint64_t m_LastProgress = 0;  // nanoseconds: when the stream last took bytes, or the first frame waited
    Wakeup m_Wakeup;
};

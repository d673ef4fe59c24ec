#pragma once

#include "OutboundQueue.h"
#include "ThreadMutex.h"
#include "Wakeup.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// What waits to be written to one connection's stream: a bounded queue of
// frames, the stream's descriptor while it is open, and the wake-up of the
// connection's serving thread, which writes what waits. Shared by the
// connection, the threads that send on it and a batch that wakes it later,
// so that it outlives a connection that ends meanwhile.
//
// A frame goes out at once, written by the thread that sends it, when nothing
// waits before it and the stream takes it whole; only what the stream does
// not take waits for the serving thread. Within a wake batch (one thread
// routing a run of frames to many connections) frames wait, and the batch's
// end writes or wakes once.
class FrameOutlet : public std::enable_shared_from_this<FrameOutlet> {
public:
    using Frame = OutboundQueue::Frame;
    // Called, outside the outlet's lock, with the number of frames the stream
    // has just taken whole.
    using Written = std::function<void(std::size_t frames)>;

    enum class Sent {
        Written,  // the stream took it whole
        Queued,   // it waits for the serving thread (or the batch's end)
        Refused,  // no stream is open, or the stream was lost before: nothing was tried
        Dropped,  // it lost the stream: the queue overflowed, or writing failed
    };

    FrameOutlet(std::size_t limitBytes, Written written = {});

    // Any thread. `servingThread`: the connection's own thread, which writes
    // what waits once it is done and needs no wake-up.
    Sent push(const Frame& frame, bool servingThread);

    struct Flushed {
        bool lost = false;       // the stream took no byte for the time-out, broke, or its queue overflowed
        bool firstLoss = false;  // this is the first flush to find it so
    };
    // The serving thread: writes what waits, as much as the stream takes
    // without waiting, many frames per call.
    Flushed flush(std::uint64_t stallNanoseconds);
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
    // when the stream takes it whole; otherwise the serving thread is woken.
    void release();

private:
    // Writes `frame` now; called with m_Lock held and nothing waiting.
    Sent writeThrough(const Frame& frame, bool& wake);
    void reportWritten(std::size_t frames) const;

    CThreadMutex m_Lock;  // guards what follows
    OutboundQueue m_Queue;
    int m_Socket = -1;
    bool m_Writing = false;  // the serving thread is writing what it took from the queue
    bool m_Failed = false;
    bool m_LossFound = false;
    std::uint64_t m_LastProgress = 0;  // nanoseconds: when the stream last took bytes, or the first frame waited
    Wakeup m_Wakeup;
    const Written m_Written;
};

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

// What waits to be written to one connection's stream: the frames in their
// two lanes (OutboundQueue), the stream's descriptor while it is open, and
// the wake-up of the connection's serving thread, which writes what waits.
// Shared by the connection, the threads that send on it and a batch that
// wakes it later, so that it outlives a connection that ends meanwhile.
//
// An ordinary frame goes out at once, written by the thread that sends it,
// when no ordinary frame waits before it, no frame is half written and the
// stream takes it whole; only what the stream does not take waits for the
// serving thread. Within a wake batch (one thread routing a run of frames to
// many connections) frames wait, and the batch's end writes or wakes once.
//
// Flow control: the outlet only tells how much waits. Senders that may wait
// look at backlogged() and wait for the room callback; the bulk producer
// looks at bulkRoom(). Only a stream that takes nothing for the stall time
// while frames wait, or whose ordinary frames exceed their hard bound, is lost.
class FrameOutlet : public std::enable_shared_from_this<FrameOutlet> {
public:
    using Frame = OutboundQueue::Frame;
    using Lane = OutboundQueue::Lane;
    // Called, outside the outlet's lock, with the number of frames the stream
    // has just taken whole.
    using Written = std::function<void(std::size_t frames)>;
    // Called, outside the outlet's lock, when the ordinary frames waiting
    // fell below the backlog mark, or the bulk frames into their window.
    using Room = std::function<void()>;

    struct Limits {
        std::size_t interactive = 32u << 20;  // ordinary bytes that may wait at most
        std::size_t backlog = 256u << 10;     // above it, senders that can wait do
        std::size_t bulkWindow = 1u << 20;    // bulk frames are handed on while less waits
        std::uint64_t stallNanoseconds = 3'000'000'000ull;  // 0: the stream is never given up for it
        bool overflowLosesStream = true;      // else an ordinary frame over the bound is refused alone
        // The most the kernel may hold not yet sent (0: no limit): a write
        // hands it only what brings it up to this. With TCP_NOTSENT_LOWAT at
        // the same mark, an ordinary frame waits little behind bulk already
        // handed on.
        std::size_t unsentCeiling = 0;
    };

    enum class Sent {
        Written,   // the stream took it whole
        Queued,    // it waits for the serving thread (or the batch's end)
        Refused,   // no stream is open, or the stream was lost before: nothing was tried
        Dropped,   // it lost the stream: the queue overflowed, or writing failed
        Overflow,  // the ordinary frames' bound was reached: this frame alone was not queued
    };

    // Frames that were waiting when a stream was given up or closed.
    struct Discarded {
        std::size_t frames = 0;
        std::size_t bytes = 0;
    };

    FrameOutlet(Limits limits, Written written = {}, Room room = {});

    // Any thread. `servingThread`: the connection's own thread, which writes
    // what waits once it is done and needs no wake-up.
    Sent push(const Frame& frame, Lane lane, bool servingThread);

    struct Flushed {
        bool lost = false;       // the stream took no byte for the stall time, broke, or its queue overflowed
        bool firstLoss = false;  // this is the first flush to find it so
        Discarded discarded;     // what waited then
    };
    // The serving thread: writes what waits, as much as the stream takes
    // without waiting, many frames per call.
    Flushed flush();
    // Whether frames wait (or a loss is still to be found by flush).
    bool waiting();
    // Whether so many ordinary bytes wait that senders able to wait should.
    bool backlogged();
    // Whether the bulk producer may hand on another frame.
    bool bulkRoom();

    // The stream opened: frames are written to `socket` from now on.
    void open(int socket);
    // The stream is gone: what waited is dropped (and returned), and frames
    // are refused until the next open.
    Discarded close();

    Wakeup& wakeup() { return m_Wakeup; }
    // The payloads waiting, in the order they would go.
    std::vector<std::string> payloads();

    // The end of a batch: a single small frame waiting is written at once
    // when the stream takes it whole; otherwise the serving thread is woken.
    void release();

private:
    // Writes `frame` now; called with m_Lock held and nothing ordinary waiting.
    Sent writeThrough(const Frame& frame, bool& wake);
    // How many bytes a write may hand the kernel now; 0: none.
    std::size_t roomInKernel(int socket) const;
    // Drops everything waiting; called with the lock held.
    Discarded discardAll();
    // Whether consuming moved the queue below a mark (called with the lock held).
    bool roomMade(std::size_t interactiveBefore, std::size_t bulkBefore) const;
    void report(std::size_t frames, bool room) const;

    const Limits m_Limits;
    CThreadMutex m_Lock;  // guards what follows
    OutboundQueue m_Queue;
    int m_Socket = -1;
    bool m_Writing = false;  // the serving thread is writing what it took from the queue
    bool m_Failed = false;
    bool m_LossFound = false;
    std::uint64_t m_LastProgress = 0;  // nanoseconds: when the stream last took bytes, or the first frame waited
    Wakeup m_Wakeup;
    const Written m_Written;
    const Room m_Room;
};

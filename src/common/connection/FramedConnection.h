#pragma once

#include "FrameOutlet.h"
#include "FrameReader.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// One framed stream connection, as every tablet session and the Live script
// connection have it: the socket, the frames read from it, the frames
// waiting to be written, the wake-up of the thread that serves it and the
// stall time-out. Any thread may send on it (see FrameOutlet); one thread
// serves it, calling exchange() in a loop, which waits for the peer's bytes,
// for frames to write or for a wake-up, and then reads, hands every frame
// read to the handler and writes what waits.
//
// A handler that must let a receiver catch up says so (mayRead false): the
// connection then reads nothing more from its peer, and hands on none of the
// frames it holds, until the handler may read again. So a sender is read
// only as fast as those it sends to take its frames.
class FramedConnection {
public:
    using Frame = OutboundQueue::Frame;
    using Lane = OutboundQueue::Lane;
    // A peer whose stream takes no byte for this long, while frames wait for
    // it, is lost.
    static constexpr std::uint64_t kStallSeconds = 3;

    // What the serving thread is told of the connection's traffic.
    class Handler {
    public:
        virtual ~Handler() = default;
        // Bytes arrived (before their frames are handed on).
        virtual void bytesArrived() {}
        // One whole frame of packet type 2; the payload is valid until the call returns.
        virtual void frameArrived(std::string_view payload) = 0;
        // Whether the serving thread is to go on with what it woke for.
        virtual bool serving() = 0;
        // Whether the stream is still wanted once the wait is over (a drop
        // may have been asked for meanwhile).
        virtual bool streamWanted() { return true; }
        // Whether the peer may be read now: false while those its frames go
        // to have too much waiting.
        virtual bool mayRead() { return true; }
    };

    // What one exchange found.
    struct Outcome {
        enum class Kind {
            Going,      // nothing wrong
            Ended,      // the peer closed the stream, or reading failed
            BadLength,  // a frame header with a payload length outside 1..131,084
            Lost,       // the peer took nothing for the stall time, or writing failed
        };
        Kind kind = Kind::Going;
        long result = 0;            // Ended: what the read returned
        int error = 0;              // Ended: its errno
        bool atFieldStart = false;  // Ended: where a header word or a payload would begin
        std::uint32_t length = 0;   // BadLength: the length given
        bool firstLoss = false;     // Lost: the first exchange to find it so
        FrameOutlet::Discarded discarded;  // Lost: what was waiting for the peer
    };

    // `limits`: what may wait for the peer and when it counts as stalled;
    // `readChunk`: what a read asks for at least; `written`: told of the
    // frames the stream took; `room`: told when what waits fell below a mark.
    FramedConnection(FrameOutlet::Limits limits, std::size_t readChunk, FrameOutlet::Written written = {},
                     FrameOutlet::Room room = {});
    ~FramedConnection();
    FramedConnection(const FramedConnection&) = delete;
    FramedConnection& operator=(const FramedConnection&) = delete;

    // The serving thread: the calling thread serves the connection from now on.
    void serveFromThisThread() { m_ServingThread = std::this_thread::get_id(); }
    bool onServingThread() const { return m_ServingThread.load() == std::this_thread::get_id(); }

    // The serving thread: a stream opened, which the connection owns from now
    // on (a stream already open is closed first).
    void open(int socket);
    // Closes the stream; frames sent meanwhile are refused until the next
    // open. Returns what was still waiting for the peer.
    FrameOutlet::Discarded close();
    // The stream's descriptor, 0 while none is open.
    int socket() const { return m_Socket.load(); }

    Outcome exchange(Handler& handler);

    // Any thread.
    FrameOutlet::Sent send(const Frame& frame, Lane lane = Lane::Interactive) {
        return m_Outlet->push(frame, lane, onServingThread());
    }
    void wake() { m_Outlet->wakeup().notify(); }
    // Whether senders able to wait should, and whether bulk may be handed on.
    bool backlogged() { return m_Outlet->backlogged(); }
    bool bulkRoom() { return m_Outlet->bulkRoom(); }
    // Whether anything waits to be written.
    bool waiting() { return m_Outlet->waiting(); }
    // The payloads waiting, in the order they would go (for tests).
    std::vector<std::string> queuedPayloads() { return m_Outlet->payloads(); }

    // The serving thread: writes what waits now, as much as the stream takes;
    // a loss it finds is the outcome's.
    Outcome flush();

private:
    Outcome receive(int socket, Handler& handler);
    // Hands on the frames held, while the handler serves and may read.
    Outcome dispatch(Handler& handler);

    std::shared_ptr<FrameOutlet> m_Outlet;
    FrameReader m_Reader;     // the serving thread only
    bool m_Held = false;      // frames may be held that a pause kept back; the serving thread only
    std::atomic<int> m_Socket{0};
    std::atomic<std::thread::id> m_ServingThread{};
};

#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <deque>
#include <memory>
#include <string>

// The frames waiting to be written to one stream, in two lanes: ordinary
// (interactive) frames, bounded in bytes, and bulk frames (waveform
// replies), whose producer paces itself by what waits. Ordinary frames
// overtake bulk ones at frame boundaries: a frame the stream has begun to
// take is always finished first, then every ordinary frame, then bulk.
// Within a lane frames keep their order. A frame (header and payload) is one
// immutable buffer that every stream it goes to shares. Not locked: the
// stream's outlet guards it.
class OutboundQueue {
public:
    using Frame = std::shared_ptr<const std::string>;

    enum class Lane { Interactive, Bulk };

    enum class Push {
        Queued,    // behind other frames: the writer is already due
        First,     // nothing waited: the writer must be woken
        Overflow,  // an ordinary frame over the bound: not queued
    };

    // What one gather offered a write, in the order written.
    struct Gathered {
        std::size_t parts = 0;        // iovecs filled
        std::size_t interactive = 0;  // of them, ordinary frames not yet begun
    };

    explicit OutboundQueue(std::size_t interactiveLimit) : m_Limit(interactiveLimit) {}

    // Header and payload in one shared buffer.
    static Frame frame(const char* payload, std::size_t length);

    Push push(Frame frame, Lane lane = Lane::Interactive);
    // Up to `max` iovecs over the bytes waiting, in the order they must go.
    Gathered gather(iovec* out, std::size_t max) const;
    // `count` bytes of what `gathered` offered were written; returns how
    // many frames that completed.
    std::size_t consume(const Gathered& gathered, std::size_t count);
    void clear();

    bool empty() const { return !m_Current && m_Interactive.empty() && m_Bulk.empty(); }
    // Whether a frame has been begun and not finished: nothing may go before it.
    bool midFrame() const { return static_cast<bool>(m_Current); }
    bool interactiveWaiting() const { return !m_Interactive.empty(); }
    std::size_t bytes() const { return m_InteractiveBytes + m_BulkBytes; }
    std::size_t interactiveBytes() const { return m_InteractiveBytes; }
    std::size_t bulkBytes() const { return m_BulkBytes; }
    std::size_t frames() const { return (m_Current ? 1 : 0) + m_Interactive.size() + m_Bulk.size(); }
    std::size_t limit() const { return m_Limit; }

private:
    std::size_t& laneBytes(Lane lane) { return lane == Lane::Interactive ? m_InteractiveBytes : m_BulkBytes; }
    // Takes `count` bytes off the front frame of `frames`; true when it completed.
    bool take(std::deque<Frame>& frames, Lane lane, std::size_t& count);

    Frame m_Current;  // the frame begun, of lane m_CurrentLane
    Lane m_CurrentLane = Lane::Interactive;
    std::size_t m_Offset = 0;  // bytes of m_Current already written
    std::deque<Frame> m_Interactive;
    std::deque<Frame> m_Bulk;
    // Bytes waiting per lane, the written part of m_Current excluded.
    std::size_t m_InteractiveBytes = 0;
    std::size_t m_BulkBytes = 0;
    std::size_t m_Limit;
};

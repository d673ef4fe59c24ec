#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <deque>
#include <memory>
#include <string>

// The frames waiting to be written to one session's stream, in order and
// bounded in bytes. A frame (header and payload) is one immutable buffer
// that every session it goes to shares. Not locked: the session guards it.
class OutboundQueue {
public:
    using Frame = std::shared_ptr<const std::string>;

    enum class Push {
        Queued,    // behind other frames: the writer is already due
        First,     // the queue was empty: the writer must be woken
        Overflow,  // over the bound: not queued
    };

    explicit OutboundQueue(std::size_t limitBytes) : m_Limit(limitBytes) {}

    // Header and payload in one shared buffer.
    static Frame frame(const char* payload, std::size_t length);

    Push push(Frame frame);
    // Up to `max` iovecs over the bytes waiting, oldest first.
    std::size_t gather(iovec* out, std::size_t max) const;
    // `count` bytes from the front were written; returns how many frames
    // that completed.
    std::size_t consume(std::size_t count);
    void clear();

    bool empty() const { return m_Frames.empty(); }
    std::size_t bytes() const { return m_Bytes; }
    std::size_t limit() const { return m_Limit; }

private:
    std::deque<Frame> m_Frames;
    std::size_t m_Offset = 0;  // bytes of the front frame already written
    std::size_t m_Bytes = 0;   // bytes waiting, the written part of the front frame excluded
    std::size_t m_Limit;
};

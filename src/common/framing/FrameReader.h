#pragma once

#include "FrameHeader.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

// Cuts a received byte stream into frames, without doing any I/O itself: the
// caller receives into space(), reports the count with commit(), then takes
// events from next() until it says NeedMore. A frame's payload is kept whole
// in one buffer, which grows with the frames actually received (up to the
// largest accepted frame) instead of being allocated at its largest up front.
class FrameReader {
public:
    enum class Event {
        NeedMore,     // no complete frame is held: receive more
        Frame,        // an OSC frame: `payload` holds its bytes
        Skipped,      // a whole frame of another type, consumed and dropped
        LengthError,  // the payload length lies outside 1..131,084: the stream is unusable
    };
    struct Next {
        Event event = Event::NeedMore;
        // A Frame's payload; valid until the next call of space().
        std::string_view payload;
        // The payload length the header gave (the offending one for LengthError).
        std::uint32_t length = 0;
    };

    // `chunk`: what a receive asks for at least (small, for a reader per
    // session; large for one stream that brings many frames).
    explicit FrameReader(std::size_t chunk = 4096);
    ~FrameReader();
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // Where the next received bytes go: never empty while the stream is usable.
    std::span<char> space();
    // `count` bytes were received into the last space().
    void commit(std::size_t count);
    // The next event from the bytes held. After LengthError it keeps
    // answering LengthError.
    Next next();

    // Forgets every byte held: the next byte starts a frame.
    void reset();

    // Whether the bytes held end exactly where a header word or a payload
    // begins: a receive now would be the first one of a field.
    bool atFieldStart() const;
    // Bytes of an incomplete frame held.
    std::size_t held() const { return m_End - m_Begin; }
    std::size_t capacity() const { return m_Capacity; }

private:
    // Room for the rest of the current frame, or at least a chunk for the next.
    void reserveForCurrentFrame();

    const std::size_t m_Chunk;
    std::unique_ptr<char[]> m_Buffer;
    std::size_t m_Capacity = 0;
    std::size_t m_Begin = 0;  // first byte not yet handed out
    std::size_t m_End = 0;    // one past the last byte received
    bool m_Broken = false;
};

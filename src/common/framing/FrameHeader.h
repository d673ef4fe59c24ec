#pragma once

#include <cstddef>
#include <cstdint>

// The 12 bytes before every OSC packet on every stream connection: payload
// length, packet type and a reserved word, each unsigned 32-bit big-endian.
struct FrameHeader {
    static constexpr std::size_t kSize = 12;
    static constexpr std::uint32_t kOscPacket = 2;              // the only type that is dispatched
    static constexpr std::uint32_t kMaxReceivedPayload = 131084;  // 128 KiB plus 12
    static constexpr std::uint32_t kMaxSentPayload = 262148;      // 256 KiB plus 16 for the frame, less the header

    std::uint32_t length = 0;
    std::uint32_t type = kOscPacket;
    std::uint32_t reserved = 0;

    // The whole header from its 12 bytes.
    static FrameHeader decode(const unsigned char* bytes);
    // The payload length alone, from the first 4 bytes: all a reader may
    // look at before the rest of the header has arrived.
    static std::uint32_t decodeLength(const unsigned char* bytes);
    void encode(unsigned char* bytes) const;

    // A received payload length must lie in 1..kMaxReceivedPayload.
    bool lengthAccepted() const { return length >= 1 && length <= kMaxReceivedPayload; }
};

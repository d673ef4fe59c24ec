#include "FrameReader.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kLargestFrame = FrameHeader::kSize + FrameHeader::kMaxReceivedPayload;

// The payload length of the frame at `bytes`, of which at least 4 are held.
std::uint32_t lengthAt(const char* bytes) {
    return FrameHeader::decodeLength(reinterpret_cast<const unsigned char*>(bytes));
}

}  // namespace

FrameReader::FrameReader(std::size_t chunk) : m_Chunk(chunk) {}

FrameReader::~FrameReader() = default;

std::span<char> FrameReader::space() {
    reserveForCurrentFrame();
    return {m_Buffer.get() + m_End, m_Capacity - m_End};
}

void FrameReader::commit(std::size_t count) { m_End = std::min(m_End + count, m_Capacity); }

void FrameReader::reserveForCurrentFrame() {
    if (m_Begin == m_End) m_Begin = m_End = 0;
    std::size_t frame = FrameHeader::kSize;
    if (held() >= 4) {
        const std::uint32_t length = lengthAt(m_Buffer.get() + m_Begin);
        if (length <= FrameHeader::kMaxReceivedPayload) frame += length;
    }
    const std::size_t wanted = std::max(frame, std::min(held() + m_Chunk, kLargestFrame));
    if (m_Capacity - m_Begin >= wanted && m_Capacity > m_End) return;
    if (m_Capacity >= wanted && m_Begin > 0) {
        std::memmove(m_Buffer.get(), m_Buffer.get() + m_Begin, held());
    } else {
        const std::size_t capacity = std::max(wanted, std::min(2 * m_Capacity, kLargestFrame));
        auto grown = std::make_unique_for_overwrite<char[]>(capacity);
        if (held() > 0) std::memcpy(grown.get(), m_Buffer.get() + m_Begin, held());
        m_Buffer = std::move(grown);
        m_Capacity = capacity;
    }
    m_End = held();
    m_Begin = 0;
}

FrameReader::Next FrameReader::next() {
    if (m_Broken) return {Event::LengthError};
    if (held() < 4) return {};
    const char* frame = m_Buffer.get() + m_Begin;
    const FrameHeader lengthOnly{lengthAt(frame)};
    if (!lengthOnly.lengthAccepted()) {
        m_Broken = true;
        return {Event::LengthError, {}, lengthOnly.length};
    }
    if (held() < FrameHeader::kSize + lengthOnly.length) return {};
    const FrameHeader header = FrameHeader::decode(reinterpret_cast<const unsigned char*>(frame));
    m_Begin += FrameHeader::kSize + header.length;
    if (header.type != FrameHeader::kOscPacket) return {Event::Skipped, {}, header.length};
    return {Event::Frame, {frame + FrameHeader::kSize, header.length}, header.length};
}

void FrameReader::reset() {
    m_Begin = m_End = 0;
    m_Broken = false;
}

bool FrameReader::atFieldStart() const {
    const std::size_t into = held();
    return into == 0 || (into <= FrameHeader::kSize && into % 4 == 0);
}

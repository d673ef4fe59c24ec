#include "SampleSeries.h"

#include "VectorLanes.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// What a known length reserves at once; beyond it the series grows as the
// samples arrive (a reservation is only address space until it is written).
constexpr std::int64_t kMaxFirstReservation = std::int64_t{1} << 24;

}  // namespace

// NaNs and infinities (every exponent bit set) become +0, four lanes at a time.
void SampleSeries::silenceNonNumbers(float* samples, std::int64_t count) {
    using Bits = lanes::Bits;
    constexpr std::uint32_t kExponent = 0x7f800000u;
    std::int64_t i = 0;
    for (; i + 4 <= count; i += 4) {
        Bits lanes;
        std::memcpy(&lanes, samples + i, sizeof lanes);
        lanes &= reinterpret_cast<Bits>((lanes & kExponent) != kExponent);
        std::memcpy(samples + i, &lanes, sizeof lanes);
    }
    for (; i < count; ++i) samples[i] = std::isfinite(samples[i]) ? samples[i] : 0.0f;
}

SampleSeries::~SampleSeries() { release(); }

void SampleSeries::release() {
    std::free(m_Data);
    m_Data = nullptr;
    m_Size = 0;
    m_Capacity = 0;
}

bool SampleSeries::reserve(std::int64_t frames) {
    if (frames <= m_Capacity) return true;
    if (frames > std::numeric_limits<std::int64_t>::max() / static_cast<std::int64_t>(sizeof(float))) return false;
    void* grown = std::realloc(m_Data, static_cast<std::size_t>(frames) * sizeof(float));
    if (grown == nullptr) return false;
    m_Data = static_cast<float*>(grown);
    m_Capacity = frames;
    return true;
}

std::span<float> SampleSeries::room(std::int64_t wanted) {
    const std::int64_t want = std::clamp<std::int64_t>(wanted, 0, kBlockFrames);
    const std::int64_t grown = std::min(m_Bound, std::max(m_Capacity + m_Capacity / 2, m_Size + want));
    if (m_Size + want > m_Capacity && !reserve(grown)) return {};
    return {m_Data + m_Size, static_cast<std::size_t>(want)};
}

void SampleSeries::take(std::int64_t count, bool onlyNumbers) {
    count = std::clamp<std::int64_t>(count, 0, m_Capacity - m_Size);
    if (!onlyNumbers) silenceNonNumbers(m_Data + m_Size, count);
    m_Size += count;
}

SampleSeries::Outcome SampleSeries::fill(AudioReader& reader, std::int64_t wanted, std::int64_t limit,
                                         const Interrupt& interrupted) {
    m_Size = 0;
    std::int64_t end = wanted >= 0 ? wanted : std::numeric_limits<std::int64_t>::max();
    if (limit > 0) end = std::min(end, limit);
    m_Bound = end;
    if (!reserve(std::clamp<std::int64_t>(end, 1, wanted >= 0 ? kMaxFirstReservation : kBlockFrames))) {
        return Outcome::OutOfMemory;
    }
    std::int64_t delivered = 0;
    switch (drain(reader, *this, end, interrupted, delivered)) {
        case Drained::Done:
        case Drained::Ended: return Outcome::Complete;
        case Drained::Failed: return Outcome::Failed;
        case Drained::Stopped: return Outcome::Interrupted;
        case Drained::NoRoom: return Outcome::OutOfMemory;
    }
    return Outcome::Failed;
}

bool SampleSeries::fitTo(std::int64_t length) {
    if (length <= m_Size) {
        m_Size = std::max<std::int64_t>(length, 0);
        return true;
    }
    if (length - m_Size > kMaxPaddingFrames || !reserve(length)) return false;
    std::fill(m_Data + m_Size, m_Data + length, 0.0f);
    m_Size = length;
    return true;
}

#pragma once

#include "AudioReader.h"
#include "SeriesSink.h"

#include <cstdint>
#include <limits>
#include <span>

// The one mono series of float samples that a load produces, grown block by
// block as a decoder delivers it. It is sized by what the decoder really
// delivers, never by what a header claims: a header can only make the series
// end early, or pad a short delivery with silence within a bound. The storage
// grows by reallocation, which for large series moves pages rather than
// copying them, so the peak memory of a load stays close to the series'
// own size even when the length was not known in advance.
class SampleSeries : public SeriesSink {
public:
    // Silence added to reach a declared length is limited to this many
    // frames (32 MiB): a header that lies about the length can cost no more.
    static constexpr std::int64_t kMaxPaddingFrames = std::int64_t{1} << 23;
    // Frames asked of the decoder at a time.
    static constexpr std::int64_t kBlockFrames = 65536;

    // TooLong: more frames than a load may take (the analyzer's bound).
    enum class Outcome { Complete, Failed, Interrupted, OutOfMemory, TooLong };

    SampleSeries() = default;
    ~SampleSeries() override;
    SampleSeries(const SampleSeries&) = delete;
    SampleSeries& operator=(const SampleSeries&) = delete;

    // Replaces the series with what `reader` delivers: up to `wanted` frames,
    // or everything up to the end when `wanted` is AudioReader::kUnknownLength,
    // never more than `limit` frames when `limit` is positive. Samples that are
    // not finite numbers (NaN, infinities) become silence. `interrupted` is
    // asked after every block. On any outcome the series holds what arrived.
    Outcome fill(AudioReader& reader, std::int64_t wanted, std::int64_t limit, const Interrupt& interrupted);

    // Cuts the series to `length` frames, or pads it with silence to that
    // length when at most kMaxPaddingFrames are missing; false (and nothing
    // changed) when more are missing or memory is short.
    bool fitTo(std::int64_t length);

    // Turns samples that are not finite numbers (NaN, infinities) into +0.
    static void silenceNonNumbers(float* samples, std::int64_t count);

    // Room for the next samples, a block at most, the storage grown as needed.
    std::span<float> room(std::int64_t wanted) override;
    // Samples that are not finite numbers become silence.
    void take(std::int64_t count, bool onlyNumbers) override;

    // Never null once a fill has begun; empty series included.
    float* data() { return m_Data; }
    std::int64_t size() const { return m_Size; }
    // Gives the memory back.
    void release();

private:
    bool reserve(std::int64_t frames);

    std::int64_t m_Bound = std::numeric_limits<std::int64_t>::max();  // the storage grows no further
    float* m_Data = nullptr;
    std::int64_t m_Size = 0;
    std::int64_t m_Capacity = 0;
};

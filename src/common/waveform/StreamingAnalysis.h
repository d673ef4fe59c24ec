#pragma once

#include "SeriesSink.h"
#include "WaveformSeries.h"

#include <cstdint>
#include <functional>
#include <vector>

class AudioReader;
class SpectralColour;

// Both series of a mono series whose length is known in advance, computed
// from its samples as they arrive in order, without ever holding the whole
// series: each waveform pair and each intensity point is computed as soon as
// its window or frame has arrived, and the samples no later point needs are
// dropped. The numbers are exactly those of waveform::wave and
// waveform::intensity on the whole series.
//
// One analysis may compute a share of the points only (the pairs and points
// whose windows begin in one range of the series), so that ranges of a file
// decoded at the same time each feed their own share into one result.
class StreamingAnalysis : public SeriesSink {
public:
    // Samples taken at a time: when the points of a block are spread over
    // the cores, enough to be worth starting threads for; else few enough
    // to stay in the core's cache between decoding and analysis.
    static constexpr std::int64_t kSpreadBlockFrames = std::int64_t{1} << 18;
    static constexpr std::int64_t kBlockFrames = std::int64_t{1} << 16;
    // Longest pair window that is buffered (4 MiB): a series of up to about
    // 15 billion samples.
    static constexpr std::int64_t kMaxWindow = std::int64_t{1} << 20;

    // The pairs [firstPair, endPair) and the intensity points
    // [firstPoint, endPoint) of the series.
    struct Share {
        std::int64_t firstPair = 0, endPair = 0;
        std::int64_t firstPoint = 0, endPoint = 0;
    };

    // Every pair and point of a series of `length` samples.
    static Share whole(std::int64_t length);
    // The pairs and points whose windows begin in [from, to).
    static Share within(std::int64_t length, std::int64_t from, std::int64_t to);

    // Writes into `out`, whose waveform and intensity hold the blob's
    // floats of a series of `length` samples (zero-filled); `colour` may be
    // null (then no intensity point is computed). With `spread`, the
    // intensity points of each block are spread over the machine's cores.
    // Throws std::bad_alloc when its buffer cannot be had.
    StreamingAnalysis(std::int64_t length, double sampleRate, const SpectralColour* colour, WaveformSeries& out,
                      Share share, bool spread);

    // The first sample the share needs, and the end of what it needs.
    std::int64_t begin() const { return m_Begin; }
    std::int64_t end() const { return m_End; }
    // Samples received so far, counted from begin().
    std::int64_t received() const { return m_Base + m_Filled - m_Begin; }

    // Room for up to a block of next samples (the whole block before the
    // analyses run: they may spread its points over the cores).
    std::span<float> room(std::int64_t wanted) override;
    // The next `count` samples were written into room(): samples that are
    // not finite numbers become silence (unless `onlyNumbers` says there
    // are none), then every pair and point they complete is computed.
    void take(std::int64_t count, bool onlyNumbers) override;
    // Silence for every sample still missing up to end().
    void padWithSilence();

private:
    void computeReady();
    void dropWhatIsDone();

    const std::int64_t m_Length;
    const waveform::Points m_Points;
    const double m_SampleRate;
    const SpectralColour* const m_Colour;
    WaveformSeries& m_Out;
    const Share m_Share;
    const bool m_Spread;
    std::int64_t m_Begin = 0;
    std::int64_t m_End = 0;
    std::vector<float> m_Buffer;
    std::int64_t m_Base = 0;    // the series position of m_Buffer[0]
    std::int64_t m_Filled = 0;  // samples held from m_Base on
    std::int64_t m_NextPair = 0;
    std::int64_t m_NextPoint = 0;
};

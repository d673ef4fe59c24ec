#include "WaveformSeries.h"

#include "SpectralColour.h"
#include "VectorLanes.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

namespace {

// The largest and smallest value of a window, four lanes at a time.
struct Extremes {
    float lowest;
    float highest;
};

using Lanes = lanes::Floats;

struct LaneExtremes {
    Lanes low;
    Lanes high;
};

void widen(LaneExtremes& extremes, const float* at) {
    Lanes x;
    std::memcpy(&x, at, sizeof x);
    extremes.low = x < extremes.low ? x : extremes.low;
    extremes.high = x > extremes.high ? x : extremes.high;
}

void widen(LaneExtremes& extremes, const LaneExtremes& other) {
    extremes.low = other.low < extremes.low ? other.low : extremes.low;
    extremes.high = other.high > extremes.high ? other.high : extremes.high;
}

// Four accumulators of four lanes each, so that the comparisons of one do
// not wait for those of another. Every accumulator starts from the first
// value: the result is that of one running comparison.
Extremes extremesOf(const float* begin, std::int64_t count) {
    constexpr int kLanes = 4;
    const Lanes first = begin[0] - Lanes{};
    LaneExtremes a{first, first};
    LaneExtremes b = a;
    LaneExtremes c = a;
    LaneExtremes d = a;
    std::int64_t i = 0;
    for (; i + 4 * kLanes <= count; i += 4 * kLanes) {
        widen(a, begin + i);
        widen(b, begin + i + kLanes);
        widen(c, begin + i + 2 * kLanes);
        widen(d, begin + i + 3 * kLanes);
    }
    for (; i + kLanes <= count; i += kLanes) widen(a, begin + i);
    widen(a, b);
    widen(a, c);
    widen(a, d);
    Extremes result{a.low[0], a.high[0]};
    for (int lane = 1; lane < kLanes; ++lane) {
        result.lowest = a.low[lane] < result.lowest ? a.low[lane] : result.lowest;
        result.highest = a.high[lane] > result.highest ? a.high[lane] : result.highest;
    }
    for (; i < count; ++i) {
        result.lowest = begin[i] < result.lowest ? begin[i] : result.lowest;
        result.highest = begin[i] > result.highest ? begin[i] : result.highest;
    }
    return result;
}

// Position of the first value equal to `a` or `b`, four at a time; `count`
// when there is none.
std::int64_t firstOfEither(const float* begin, std::int64_t count, float a, float b) {
    using Mask = lanes::Ints;
    constexpr int kLanes = lanes::kWidth;
    const Lanes first = a - Lanes{};
    const Lanes second = b - Lanes{};
    std::int64_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        Lanes x;
        std::memcpy(&x, begin + i, sizeof x);
        const Mask hit = (x == first) | (x == second);
        std::uint64_t words[2];
        std::memcpy(words, &hit, sizeof words);
        if ((words[0] | words[1]) != 0) break;
    }
    for (; i < count; ++i) {
        if (begin[i] == a || begin[i] == b) return i;
    }
    return count;
}

float finiteOrZero(float value) { return std::isfinite(value) ? value : 0.0f; }

}  // namespace

namespace waveform {

// A value that is not a finite number is written as 0: the blob carries
// numbers only.
void pair_of(const float* begin, std::int64_t count, float* pair) {
    const Extremes extremes = extremesOf(begin, count);
    if (!std::isnan(extremes.lowest) && !std::isnan(extremes.highest)) {
        const std::int64_t i = firstOfEither(begin, count, extremes.lowest, extremes.highest);
        if (i < count) {
            const bool highestFirst = begin[i] == extremes.highest;
            const float other = highestFirst ? extremes.lowest : extremes.highest;
            pair[0] = finiteOrZero(begin[i]);
            pair[1] = finiteOrZero(begin[i + firstOfEither(begin + i, count - i, other, other)]);
            return;
        }
    }
    // A window that starts with NaN: compare one by one from its first value.
    const float* lowest = begin;
    const float* highest = begin;
    for (const float* at = begin + 1; at < begin + count; ++at) {
        if (*at > *highest) highest = at;
        if (*at < *lowest) lowest = at;
    }
    const bool risesLast = highest > lowest;
    pair[0] = finiteOrZero(risesLast ? *lowest : *highest);
    pair[1] = finiteOrZero(risesLast ? *highest : *lowest);
}

Points points_for(std::int64_t length) {
    const auto k = static_cast<std::int64_t>(std::ceil(static_cast<float>(length) / 30000.0f));
    const std::int64_t samplesPerPoint = std::max<std::int64_t>(k, 1);
    return {samplesPerPoint, std::max<std::int64_t>(length, 0) / static_cast<std::uint32_t>(samplesPerPoint)};
}

std::size_t blob_floats(std::int64_t q) { return 4 * (static_cast<std::size_t>(q) / 4) + 4; }

std::int64_t intensity_points(std::int64_t length) {
    const Points points = points_for(length);
    if (points.q <= kFrameSize) return 0;
    return std::min(points.q, (length - kFrameSize) / points.k + 1);
}

std::vector<float> wave(const float* samples, std::int64_t length) {
    const Points points = points_for(length);
    std::vector<float> series(blob_floats(points.q), 0.0f);
    const std::int64_t window = 2 * points.k;
    const std::int64_t pairs = points.q > 1 ? points.q / 2 : 0;
    in_parallel(pairs, [&](std::int64_t first, std::int64_t last) {
        for (std::int64_t j = first; j < last; ++j) {
            pair_of(samples + window * j, window, &series[static_cast<std::size_t>(2 * j)]);
        }
    });
    return series;
}

// The points are independent: they are spread over the machine's cores.
std::vector<float> intensity(const float* samples, std::int64_t length, double sample_rate,
                             const SpectralColour& colour) {
    const Points points = points_for(length);
    std::vector<float> series(blob_floats(points.q), 0.0f);
    const std::int64_t count = intensity_points(length);
    in_parallel(count, [&](std::int64_t first, std::int64_t last) {
        colour.intensities(samples + first * points.k, points.k, last - first, sample_rate,
                           &series[static_cast<std::size_t>(first)]);
    });
    return series;
}

float duration(std::int64_t length, double sample_rate) {
    return static_cast<float>(sample_rate > 0 ? static_cast<double>(length) / sample_rate : 0.0);
}

}  // namespace waveform

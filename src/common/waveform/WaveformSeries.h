#pragma once

// The two series the tablets draw, computed from a mono series of samples
// into plain vectors: the waveform (pairs of extreme sample values) and the
// intensity (one spectral value per point), at most 30000 points each. Each
// vector holds exactly the floats of its blob on the wire:
// 4 × floor(q / 4) + 4 of them for q points, the unused tail zero.

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <exception>
#include <thread>
#include <vector>

class SpectralColour;

namespace waveform {

constexpr std::int64_t kMaxPoints = 30000;
constexpr int kFrameSize = 512;  // samples per intensity spectrum

struct Points {
    std::int64_t k;  // samples per point
    std::int64_t q;  // number of points
};

// k = ceil(length / 30000) in single precision, at least 1; q = length / k.
Points points_for(std::int64_t length);
std::size_t blob_floats(std::int64_t q);

// How many intensity points are computed: every point i whose frame of 512
// samples, starting at sample i × k, lies inside the series; none when
// q <= 512. The points after them stay 0.
std::int64_t intensity_points(std::int64_t length);

// One waveform pair of the window of `count` samples at `begin`: its
// extremes in the order of their first occurrences; when both first occur at
// the same place (a constant window), (largest, smallest).
void pair_of(const float* begin, std::int64_t count, float* pair);

// Runs work(first, last) over [0, count) split across the machine's cores.
// A helper thread that cannot be started (no thread or no memory left)
// leaves its share to the calling thread.
template <class Work>
void in_parallel(std::int64_t count, Work work) {
    const auto workers = static_cast<std::int64_t>(std::max(1u, std::thread::hardware_concurrency()));
    const std::int64_t share = (count + workers - 1) / workers;
    std::vector<std::jthread> threads;
    for (std::int64_t w = 1; w < workers && w * share < count; ++w) {
        const std::int64_t first = w * share;
        const std::int64_t last = std::min(count, first + share);
        try {
            threads.emplace_back(work, first, last);
        } catch (const std::exception&) {
            work(first, last);
        }
    }
    work(0, std::min(count, share));
}

// Pairs of the extremes of windows of 2k samples, in the order in which they
// first occur; ties (a constant window) give (largest, smallest).
std::vector<float> wave(const float* samples, std::int64_t length);

// Half the sum of the spectral colour of the 512 samples starting at each
// point whose frame lies inside the series (intensity_points); the
// remaining points stay 0.
std::vector<float> intensity(const float* samples, std::int64_t length, double sample_rate,
                             const SpectralColour& colour);

// length / sample_rate in seconds; 0 when the rate is not positive.
float duration(std::int64_t length, double sample_rate);

}  // namespace waveform

// Both series of one load, with what the replies carry beside them.
struct WaveformSeries {
    std::vector<float> waveform;
    std::vector<float> intensity;
    float duration = 0.0f;
    std::int64_t count = 0;  // samples in the series they were computed from

    std::size_t bytes() const { return (waveform.size() + intensity.size()) * sizeof(float) + sizeof *this; }
};

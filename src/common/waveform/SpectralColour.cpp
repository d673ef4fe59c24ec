#include "SpectralColour.h"

#include <cmath>
#include <limits>

namespace {

constexpr int kSize = 512;
constexpr int kHalf = 256;

// Band edges in Hz.
constexpr float kLowTop = 250.0f;
constexpr float kMidTop = 1500.0f;
constexpr float kHighTop = 22050.0f;

// The first bin j >= from whose frequency j × bw reaches `limit`; bins
// from … j − 1 lie below it. Never beyond the packed spectrum.
int first_bin_reaching(float limit, float bw, int from) {
    int bin = from;
    while (bin < kHalf && static_cast<float>(bin) * bw < limit) ++bin;
    return bin;
}

// The integer part of limit / bw, held within the packed spectrum (a tiny bin
// width would otherwise give a quotient no int can hold).
int bin_below(float limit, float bw) {
    const float quotient = limit / bw;
    return quotient >= static_cast<float>(kHalf) ? kHalf : static_cast<int>(quotient);
}

void clear_bins(std::bitset<kHalf>& band, int first, int last) {
    for (int bin = first; bin < last; ++bin) band.reset(static_cast<std::size_t>(bin));
}

BandBins compute_band_bins(double sample_rate) {
    BandBins bins;
    const float bw = static_cast<float>(sample_rate / 512.0);
    if (!(bw > 0.0f) || !std::isfinite(bw)) return bins;  // no frequency scale: every band empty
    std::bitset<kHalf>* bands[] = {&bins.low, &bins.mid, &bins.high};
    for (std::bitset<kHalf>* band : bands) band->set();
    // Below 250 Hz from bin 1 on, from the bin of 250 Hz (rounded down) to
    // below 1500 Hz, from the bin of 1500 Hz (rounded down) to below 22050
    // Hz: each range is kept by its own band alone. A bin that the rounding
    // down puts in two ranges ends in no band; bin 0 stays in every band
    // unless a range starts there.
    const int firsts[] = {1, bin_below(kLowTop, bw), bin_below(kMidTop, bw)};
    const float tops[] = {kLowTop, kMidTop, kHighTop};
    for (std::size_t range = 0; range < 3; ++range) {
        const int end = first_bin_reaching(tops[range], bw, firsts[range]);
        for (std::size_t band = 0; band < 3; ++band) {
            if (band != range) clear_bins(*bands[band], firsts[range], end);
        }
    }
    return bins;
}

// Each band as 0/1 factors per bin, so that the three band sums are taken in
// one pass over the spectrum.
struct BandFactors {
    std::array<double, kHalf> low{};
    std::array<double, kHalf> mid{};
    std::array<double, kHalf> high{};
};

BandFactors factors_of(const BandBins& bins) {
    BandFactors factors;
    for (std::size_t bin = 0; bin < kHalf; ++bin) {
        factors.low[bin] = bins.low.test(bin) ? 1.0 : 0.0;
        factors.mid[bin] = bins.mid.test(bin) ? 1.0 : 0.0;
        factors.high[bin] = bins.high.test(bin) ? 1.0 : 0.0;
    }
    return factors;
}

// The bins depend only on the sample rate, which stays the same for every
// frame of a file: each thread keeps those of the rate it saw last.
const BandFactors& cached_band_factors(double sample_rate) {
    thread_local double cached_rate = std::numeric_limits<double>::quiet_NaN();
    thread_local BandFactors cached;
    if (!(sample_rate == cached_rate)) {
        cached = factors_of(compute_band_bins(sample_rate));
        cached_rate = sample_rate;
    }
    return cached;
}

float level_of_mean_square(float mean_square) {
    if (mean_square == 0.0f) return 0.0f;  // silence; its decibel value would be −∞
    const float decibels = 10.0f * std::log10(mean_square / 1.0f);
    return static_cast<float>(std::pow(10.0, static_cast<double>(decibels) * 0.2 / 20.0));
}

// Mean square of the 512 samples each band's inverse transform would give
// (with its 1/512 scaling). Each of bins 1-255 stands for itself and its
// mirror image above half the sample rate, so it counts twice; the DC and
// half-sample-rate terms of entry 0 count once.
// `real(bin)` and `imag(bin)` give the packed spectrum's entries.
template <class Real, class Imag>
BandColor color_of_entries(Real real, Imag imag, const BandFactors& factors) {
    double low = 0.0;
    double mid = 0.0;
    double high = 0.0;
    for (std::size_t bin = 0; bin < kHalf; ++bin) {
        const double re = real(bin);
        const double im = imag(bin);
        const double power = (bin == 0 ? 1.0 : 2.0) * (re * re + im * im);
        low += power * factors.low[bin];
        mid += power * factors.mid[bin];
        high += power * factors.high[bin];
    }
    const double scale = static_cast<double>(kSize) * kSize;
    return weighted_color(level_of_mean_square(static_cast<float>(low / scale)),
                          level_of_mean_square(static_cast<float>(mid / scale)),
                          level_of_mean_square(static_cast<float>(high / scale)));
}

// Several frames' colours at once, each with exactly the arithmetic of
// color_of_entries: the sums of one frame form a chain of dependent
// additions, and the chains of different frames interleave.
template <int N>
void colors_of_sums(const float* const* sums, const BandFactors& factors, BandColor* colors) {
    double low[N] = {};
    double mid[N] = {};
    double high[N] = {};
    for (std::size_t bin = 0; bin < kHalf; ++bin) {
        for (int p = 0; p < N; ++p) {
            const double re = 2.0f * sums[p][2 * bin];
            const double im = 2.0f * (bin == 0 ? sums[p][2 * kHalf] : sums[p][2 * bin + 1]);
            const double power = (bin == 0 ? 1.0 : 2.0) * (re * re + im * im);
            low[p] += power * factors.low[bin];
            mid[p] += power * factors.mid[bin];
            high[p] += power * factors.high[bin];
        }
    }
    const double scale = static_cast<double>(kSize) * kSize;
    for (int p = 0; p < N; ++p) {
        colors[p] = weighted_color(level_of_mean_square(static_cast<float>(low[p] / scale)),
                                   level_of_mean_square(static_cast<float>(mid[p] / scale)),
                                   level_of_mean_square(static_cast<float>(high[p] / scale)));
    }
}

float weigh(float level, double weight) {
    return static_cast<float>(static_cast<double>(std::pow(level, 4.0f)) * weight);
}

std::array<float, kSize> make_hann_window() {
    std::array<float, kSize> window{};
    for (int i = 0; i < kSize; ++i) {
        const double x = i * 6.283185307179586 / 511;
        window[static_cast<std::size_t>(i)] = (1.0f - std::cos(static_cast<float>(x))) * 0.5f;
    }
    return window;
}

}  // namespace

BandBins band_bins(double sample_rate) { return compute_band_bins(sample_rate); }

BandColor real_color_for_fft_data(const float* real, const float* imag, double sample_rate) {
    return color_of_entries([real](std::size_t bin) { return real[bin]; },
                            [imag](std::size_t bin) { return imag[bin]; }, cached_band_factors(sample_rate));
}

// Entry 0 of the packed layout holds twice the DC and half-sample-rate terms
// (both real), entries 1-255 twice the sums of their bins.
BandColor color_of_fourier_sums(const float* sums, double sample_rate) {
    return color_of_entries([sums](std::size_t bin) { return 2.0f * sums[2 * bin]; },
                            [sums](std::size_t bin) { return 2.0f * (bin == 0 ? sums[2 * kHalf] : sums[2 * bin + 1]); },
                            cached_band_factors(sample_rate));
}

void colors_of_fourier_sums(const float* const* sums, int count, double sample_rate, BandColor* colors) {
    const BandFactors& factors = cached_band_factors(sample_rate);
    constexpr int kGroup = kFourierSumsGroup;
    int done = 0;
    for (; done + kGroup <= count; done += kGroup) colors_of_sums<kGroup>(sums + done, factors, colors + done);
    for (; done < count; ++done) colors_of_sums<1>(sums + done, factors, colors + done);
}

double get_peak_value(const float* samples, int count, float /*unused*/) {
    if (samples == nullptr || count <= 0) return 0.0;  // the mean of nothing is undefined
    float sum = 0.0f;
    for (int i = 0; i < count; ++i) sum += samples[i] * samples[i];
    return level_of_mean_square(sum / static_cast<float>(count));
}

BandColor weighted_color(float low_level, float mid_level, float high_level) {
    return scale_to_dominant({weigh(low_level, 1.8), weigh(mid_level, 0.7), weigh(high_level, 1.2)});
}

BandColor scale_to_dominant(BandColor weighted) {
    const auto [low, mid, high] = weighted;
    // A frame of non-finite samples (or so loud that its power overflows)
    // has no meaningful colour; it counts as silence rather than giving NaN.
    if (!std::isfinite(low) || !std::isfinite(mid) || !std::isfinite(high)) return {};
    float divisor = low;
    if (mid > low && mid > high) divisor = mid;
    else if (high > low && high > mid) divisor = high;
    if (divisor == 0.0f) return {};
    const float scale = 1.0f / divisor;
    return {low * scale, mid * scale, high * scale};
}

float intensity_of_color(BandColor color) { return 0.5f * (color.low + color.mid + color.high); }

const std::array<float, kSize>& hann_window() {
    static const std::array<float, kSize> window = make_hann_window();
    return window;
}

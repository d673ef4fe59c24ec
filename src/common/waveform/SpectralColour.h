#pragma once

// The spectral colour of a 512-sample frame: how the frame's energy divides
// between a low band (below 250 Hz), a middle band (250 to 1500 Hz) and a high
// band (1500 to 22050 Hz), each weighted and raised to a power, then scaled so
// that the dominant component is 1. The intensity series of the waveform
// analyzer keeps half the sum of the three components per point.
//
// A band's level comes from the mean square of the frame's spectrum with every
// bin outside the band removed. By Parseval's theorem that mean square is a
// weighted sum of the squared magnitudes of the bins the band keeps, so one
// forward real FFT per frame is all the work; no inverse transform is needed.
// The arithmetic is here; the transform itself is the platform's (`FFT`).

#include "BandColor.h"

#include <array>
#include <bitset>
#include <cstdint>

// The spectrum bins each band keeps. Bin 0 is the packed entry that carries
// both the DC term and the half-sample-rate term; bins 1-255 are the bins of
// those frequencies. Bins 256-511 of a packed spectrum are always zero and
// are not represented.
struct BandBins {
    std::bitset<256> low;
    std::bitset<256> mid;
    std::bitset<256> high;
};

// Which bins each band keeps at this sample rate. A sample rate that is not a
// positive finite number gives three empty bands (and so the colour 0, 0, 0).
BandBins band_bins(double sample_rate);

// The packed spectrum of a real 512-sample frame: entry 0 holds the DC term as
// its real part and the half-sample-rate term as its imaginary part; entries
// 1-255 hold bins 1-255. Every value is twice the plain discrete Fourier sum
// (the scale of the packed real FFT this layout comes from).
struct PackedSpectrum {
    std::array<float, 256> real{};
    std::array<float, 256> imag{};
};

// The colour of a packed spectrum at the given sample rate. Reads entries
// 0-255 of `real` and `imag` (the packed spectrum; later entries play no
// part) and changes nothing.
BandColor real_color_for_fft_data(const float* real, const float* imag, double sample_rate);

// The same colour from the output of a plain real-to-complex transform of the
// 512 samples: 257 complex values (real, imaginary interleaved), the
// unscaled Fourier sums of bins 0-256.
BandColor color_of_fourier_sums(const float* sums, double sample_rate);

// The colours of `count` such outputs at once, the same numbers as one at a
// time; faster in groups of kFourierSumsGroup.
constexpr int kFourierSumsGroup = 4;
void colors_of_fourier_sums(const float* const* sums, int count, double sample_rate, BandColor* colors);

// The level of `count` samples: the tenth power root of their mean square
// (10^(dB × 0.2 / 20) of the power in decibels), a single-precision value
// returned as double. Silence, and an empty range, give 0. The third
// parameter plays no part.
double get_peak_value(const float* samples, int count, float unused = 0.0f);

// Weights the three band levels (low 1.8, mid 0.7, high 1.2, each level
// raised to the 4th power) and scales them by the dominant component.
BandColor weighted_color(float low_level, float mid_level, float high_level);

// Divides the three components by the dominant one. The divisor is `mid` when
// it is strictly above both others, else `high` when it is strictly above both
// others, else `low` (so a tie between mid and high divides by low). A zero
// divisor, or a component that is not finite, gives (0, 0, 0).
BandColor scale_to_dominant(BandColor weighted);

// Half the sum of the three components, summed in single precision: the value
// of one intensity point.
float intensity_of_color(BandColor color);

// The symmetric Hann window applied to every frame: 0 at both ends, largest
// at entries 255 and 256.
const std::array<float, 512>& hann_window();

// The colour of 512-sample frames, computed with a real FFT that the
// platform provides. After construction an object is only read, so any
// number of threads may compute frames with one object at the same time.
class SpectralColour {
public:
    static constexpr int kFrameSize = 512;

    virtual ~SpectralColour() = default;

    // The colour of the windowed frame of kFrameSize samples at `samples`.
    virtual BandColor color(const float* samples, double sample_rate) const = 0;

    // The intensity value of that frame: half the sum of its colour.
    float intensity(const float* samples, double sample_rate) const {
        return intensity_of_color(color(samples, sample_rate));
    }

    // The intensity values of `count` frames, the i-th starting at
    // samples + i × step, into out[0 … count): the values intensity() gives.
    virtual void intensities(const float* samples, std::int64_t step, std::int64_t count, double sample_rate,
                             float* out) const {
        for (std::int64_t i = 0; i < count; ++i) out[i] = intensity(samples + i * step, sample_rate);
    }
};

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

#include <fftw3.h>

#include <array>
#include <bitset>
#include <memory>
#include <type_traits>

// The colour of one spectrum; each component comes from the band of its name.
struct BandColor {
    float low = 0.0f;
    float mid = 0.0f;
    float high = 0.0f;
};

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

// The FFT state shared by every frame of an analysis: the Hann window and a
// 512-point real forward FFT plan, made once. After construction the object is
// only read: every computation keeps its frame and spectrum in storage of its
// own call and executes the shared plan on those arrays, so any number of
// threads may compute frames at the same time with one FFT object.
class FFT {
public:
    static constexpr int size = 512;       // frame length in samples
    static constexpr int half_size = 256;  // complex entries of the packed spectrum
    static constexpr int log2n = 9;
    static constexpr int stride = 1;

    FFT();
    ~FFT();
    FFT(const FFT&) = delete;
    FFT& operator=(const FFT&) = delete;

    // The symmetric Hann window applied to every frame.
    const std::array<float, size>& window() const { return m_Window; }

    // The packed spectrum of the windowed frame of `size` samples.
    PackedSpectrum spectrum(const float* samples) const;

    // The colour of the frame of `size` samples starting at `samples`.
    BandColor color(const float* samples, double sample_rate) const;

    // The intensity value of that frame: half the sum of its colour.
    float intensity(const float* samples, double sample_rate) const;

private:
    struct FftwFree {
        void operator()(void* memory) const { fftwf_free(memory); }
    };
    struct PlanDestroy {
        void operator()(fftwf_plan plan) const;
    };
    using PlanHolder = std::unique_ptr<std::remove_pointer_t<fftwf_plan>, PlanDestroy>;

    std::array<float, size> m_Window{};
    // The arrays the plan was made on; they only fix the plan's layout and
    // alignment; frames are transformed in per-call arrays of the same layout.
    std::unique_ptr<float[], FftwFree> m_Frame;
    std::unique_ptr<fftwf_complex[], FftwFree> m_Spectrum;
    PlanHolder m_Setup;
};

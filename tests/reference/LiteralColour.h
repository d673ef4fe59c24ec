#pragma once

// Reference computation of the spectral colour of a 512-sample frame, step by
// step as the algorithm is written for the Mac's vector library: one packed
// forward transform of the windowed frame, then, per band, a copy of the
// spectrum with the other bands' bins zeroed, an inverse transform back to 512
// samples and the level of those samples. The product computes the same colour
// from one forward transform (FFT.h); this version exists to check it.
//
// The vector-library operations are reproduced on top of FFTW with the same
// layouts and scales (split complex, packed spectrum with the DC and
// half-sample-rate terms in entry 0, forward scale 2, inverse scale 512).
// Not for concurrent use: every frame goes through the object's own arrays.

#include "BandColor.h"

#include <fftw3.h>

#include <memory>
#include <type_traits>

namespace literal {

class LiteralColour {
public:
    static constexpr int size = 512;
    static constexpr int half_size = 256;
    static constexpr int log2n = 9;
    static constexpr int stride = 1;

    // `sample_rate` must be positive and finite.
    explicit LiteralColour(double sample_rate);
    ~LiteralColour();
    LiteralColour(const LiteralColour&) = delete;
    LiteralColour& operator=(const LiteralColour&) = delete;

    // Windows the frame of 512 samples, transforms it and leaves the packed
    // spectrum in entries 0-255 of spectrum_real()/spectrum_imag().
    void frame_spectrum(const float* samples);

    // frame_spectrum, then the colour of copies of the first 512 entries.
    BandColor color_of_frame(const float* samples);

    // 0.5 × (low + mid + high) of color_of_frame, summed in single precision.
    float intensity(const float* samples);

    // The colour of a packed spectrum (512 entries read from each array, of
    // which the transform uses the first 256); the arrays are not changed.
    BandColor real_color_for_fft_data(const float* real, const float* imag);

    const float* spectrum_real() const { return m_SpectrumReal.get(); }
    const float* spectrum_imag() const { return m_SpectrumImag.get(); }
    const float* window() const { return m_Window.get(); }

    double sample_rate;

    // The packed real FFT of the vector library, in place on split complex
    // data of 256 entries: forward gives twice the Fourier sums, forward then
    // inverse multiplies the samples by 1024.
    enum class Direction { forward, inverse };
    void fft_zrip(float* real, float* imag, Direction direction);

private:
    struct FftwFree {
        void operator()(void* memory) const { fftwf_free(memory); }
    };
    struct PlanDestroy {
        void operator()(fftwf_plan plan) const { fftwf_destroy_plan(plan); }
    };
    using PlanHolder = std::unique_ptr<std::remove_pointer_t<fftwf_plan>, PlanDestroy>;
    template <typename T>
    using Buffer = std::unique_ptr<T[], FftwFree>;

    Buffer<float> m_SpectrumReal;  // 1024 floats, zero-filled
    Buffer<float> m_SpectrumImag;  // 1024 floats, zero-filled
    Buffer<float> m_Window;        // 512 floats
    Buffer<float> m_Frame;         // 512 floats
    // The arrays the two FFTW plans work on.
    Buffer<float> m_Samples;          // 512 real samples
    Buffer<fftwf_complex> m_Bins;     // 257 complex bins
    PlanHolder m_Forward;
    PlanHolder m_Inverse;
};

// The band level as written: mean of squares, power decibels, then
// 10^(dB × 0.2 / 20) in double precision reduced to single precision.
double get_peak_value(const float* samples, int count, float unused = 0.0f);

}  // namespace literal

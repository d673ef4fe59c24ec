#pragma once

// The spectral colour on FFTW: a 512-point real forward transform, planned
// once, applied to the Hann-windowed frame.

#include "SpectralColour.h"

#include <fftw3.h>

// The FFT state shared by every frame of an analysis: the window and the
// transform's plan, which is made once per process. After construction the
// object is only read: every computation keeps its frame and spectrum in
// storage of its own call and executes the shared plan on those arrays, so
// any number of threads may compute frames at the same time with one FFT
// object (or with several).
class FFT final : public SpectralColour {
public:
    static constexpr int size = 512;       // frame length in samples
    static constexpr int half_size = 256;  // complex entries of the packed spectrum

    FFT();
    ~FFT() override;
    FFT(const FFT&) = delete;
    FFT& operator=(const FFT&) = delete;

    const std::array<float, size>& window() const { return m_Window; }

    // The packed spectrum of the windowed frame of `size` samples.
    PackedSpectrum spectrum(const float* samples) const;

    BandColor color(const float* samples, double sample_rate) const override;
    // Frames transformed and coloured a few at a time.
    void intensities(const float* samples, std::int64_t step, std::int64_t count, double sample_rate,
                     float* out) const override;

private:
    // The frame's windowed samples transformed into the 257 Fourier sums.
    void transform(const float* samples, fftwf_complex* sums) const;

    // A copy of the window of its own: read for every frame, it is faster
    // as a member than through the shared one.
    const std::array<float, size> m_Window = hann_window();
    // The process's one plan, made by the first FFT object (measured, or
    // read from the wisdom an earlier process kept) and shared by all.
    fftwf_plan m_Setup;
};

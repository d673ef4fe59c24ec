#include "FFT.h"

#include <mutex>
#include <new>

namespace {

// FFTW's planner (plan creation and destruction) is not thread-safe; executing
// a finished plan is. Every planner call of this file goes through this lock.
std::mutex& planner_lock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

void FFT::PlanDestroy::operator()(fftwf_plan plan) const {
    const std::lock_guard guard(planner_lock());
    fftwf_destroy_plan(plan);
}

FFT::FFT()
    : m_Frame(static_cast<float*>(fftwf_malloc(sizeof(float) * size))),
      m_Spectrum(static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * (half_size + 1)))) {
    if (!m_Frame || !m_Spectrum) throw std::bad_alloc();
    const std::lock_guard guard(planner_lock());
    // Measured once: the plan serves every frame of every file afterwards.
    m_Setup.reset(fftwf_plan_dft_r2c_1d(size, m_Frame.get(), m_Spectrum.get(), FFTW_MEASURE));
    if (!m_Setup) throw std::bad_alloc();
}

FFT::~FFT() = default;

void FFT::transform(const float* samples, fftwf_complex* sums) const {
    // Same layout and alignment as the arrays the plan was made on, which is
    // what executing the plan on other arrays requires.
    alignas(64) float frame[size];
    for (std::size_t i = 0; i < m_Window.size(); ++i) frame[i] = samples[i] * m_Window[i];
    fftwf_execute_dft_r2c(m_Setup.get(), frame, sums);
}

PackedSpectrum FFT::spectrum(const float* samples) const {
    alignas(64) fftwf_complex sums[half_size + 1];
    transform(samples, sums);
    // FFTW gives the plain Fourier sums of bins 0-256; the packed layout holds
    // twice those, with the (real) half-sample-rate term in entry 0's imaginary part.
    PackedSpectrum packed;
    packed.real[0] = 2.0f * sums[0][0];
    packed.imag[0] = 2.0f * sums[half_size][0];
    for (std::size_t bin = 1; bin < half_size; ++bin) {
        packed.real[bin] = 2.0f * sums[bin][0];
        packed.imag[bin] = 2.0f * sums[bin][1];
    }
    return packed;
}

BandColor FFT::color(const float* samples, double sample_rate) const {
    alignas(64) fftwf_complex sums[half_size + 1];
    transform(samples, sums);
    return color_of_fourier_sums(&sums[0][0], sample_rate);
}

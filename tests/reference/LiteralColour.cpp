#include "LiteralColour.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace literal {
namespace {

// The vector-library operations the algorithm is written with.

void vmul(const float* a, const float* b, float* out, int n) {
    for (int i = 0; i < n; ++i) out[i] = a[i] * b[i];
}

// 2n interleaved reals to n complex entries: even samples to real parts, odd
// samples to imaginary parts.
void ctoz(const float* interleaved, float* real, float* imag, int n) {
    for (int i = 0; i < n; ++i) {
        real[i] = interleaved[2 * i];
        imag[i] = interleaved[2 * i + 1];
    }
}

void ztoc(const float* real, const float* imag, float* interleaved, int n) {
    for (int i = 0; i < n; ++i) {
        interleaved[2 * i] = real[i];
        interleaved[2 * i + 1] = imag[i];
    }
}

void vsmul(const float* in, float scalar, float* out, int n) {
    for (int i = 0; i < n; ++i) out[i] = in[i] * scalar;
}

void vsq(const float* in, float* out, int n) {
    for (int i = 0; i < n; ++i) out[i] = in[i] * in[i];
}

float meanv(const float* in, int n) {
    float sum = 0.0f;
    for (int i = 0; i < n; ++i) sum += in[i];
    return sum / static_cast<float>(n);
}

// Power decibels against a reference.
float vdbcon(float value, float reference) { return 10.0f * std::log10(value / reference); }

template <typename T>
T* fftw_array(std::size_t count) {
    auto* memory = static_cast<T*>(fftwf_malloc(sizeof(T) * count));
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

}  // namespace

LiteralColour::LiteralColour(double rate)
    : sample_rate(rate),
      m_SpectrumReal(fftw_array<float>(1024)),
      m_SpectrumImag(fftw_array<float>(1024)),
      m_Window(fftw_array<float>(size)),
      m_Frame(fftw_array<float>(size)),
      m_Samples(fftw_array<float>(size)),
      m_Bins(fftw_array<fftwf_complex>(half_size + 1)) {
    std::fill_n(m_SpectrumReal.get(), 1024, 0.0f);
    std::fill_n(m_SpectrumImag.get(), 1024, 0.0f);
    for (int i = 0; i < size; ++i) {
        const double x = i * 6.283185307179586 / 511;
        m_Window[i] = (1.0f - std::cos(static_cast<float>(x))) * 0.5f;
    }
    m_Forward.reset(fftwf_plan_dft_r2c_1d(size, m_Samples.get(), m_Bins.get(), FFTW_ESTIMATE));
    m_Inverse.reset(fftwf_plan_dft_c2r_1d(size, m_Bins.get(), m_Samples.get(), FFTW_ESTIMATE));
    if (!m_Forward || !m_Inverse) throw std::bad_alloc();
}

LiteralColour::~LiteralColour() = default;

void LiteralColour::fft_zrip(float* real, float* imag, Direction direction) {
    float* samples = m_Samples.get();
    fftwf_complex* bins = m_Bins.get();
    if (direction == Direction::forward) {
        ztoc(real, imag, samples, half_size);
        fftwf_execute(m_Forward.get());
        real[0] = 2.0f * bins[0][0];
        imag[0] = 2.0f * bins[half_size][0];
        for (int k = 1; k < half_size; ++k) {
            real[k] = 2.0f * bins[k][0];
            imag[k] = 2.0f * bins[k][1];
        }
        return;
    }
    // FFTW's unnormalised c2r of twice the Fourier sums gives 1024 × the samples.
    bins[0][0] = real[0];
    bins[0][1] = 0.0f;
    bins[half_size][0] = imag[0];
    bins[half_size][1] = 0.0f;
    for (int k = 1; k < half_size; ++k) {
        bins[k][0] = real[k];
        bins[k][1] = imag[k];
    }
    fftwf_execute(m_Inverse.get());
    ctoz(samples, real, imag, half_size);
}

void LiteralColour::frame_spectrum(const float* samples) {
    vmul(samples, m_Window.get(), m_Frame.get(), size);
    ctoz(m_Frame.get(), m_SpectrumReal.get(), m_SpectrumImag.get(), half_size);
    fft_zrip(m_SpectrumReal.get(), m_SpectrumImag.get(), Direction::forward);
}

BandColor LiteralColour::color_of_frame(const float* samples) {
    frame_spectrum(samples);
    float real[512];
    float imag[512];
    std::copy_n(m_SpectrumReal.get(), 512, real);
    std::copy_n(m_SpectrumImag.get(), 512, imag);
    return real_color_for_fft_data(real, imag);
}

float LiteralColour::intensity(const float* samples) {
    const BandColor color = color_of_frame(samples);
    return 0.5f * (color.low + color.mid + color.high);
}

BandColor LiteralColour::real_color_for_fft_data(const float* real, const float* imag) {
    // 1. Bin width.
    const float bw = static_cast<float>(sample_rate / 512.0);

    // 2. One copy of the spectrum per band.
    float low_real[512], low_imag[512], mid_real[512], mid_imag[512], high_real[512], high_imag[512];
    std::copy_n(real, 512, low_real);
    std::copy_n(imag, 512, low_imag);
    std::copy_n(real, 512, mid_real);
    std::copy_n(imag, 512, mid_imag);
    std::copy_n(real, 512, high_real);
    std::copy_n(imag, 512, high_imag);

    // 3. Below 250 Hz (from bin 1): out of the middle and the high band.
    if (250 > bw) {
        for (int i = 1; i < 512 && static_cast<float>(i) * bw < 250; ++i) {
            mid_real[i] = mid_imag[i] = 0.0f;
            high_real[i] = high_imag[i] = 0.0f;
        }
    }
    // 4. From bin ⌊250 / bw⌋ to below 1500 Hz: out of the low and the high band.
    const int j0 = static_cast<int>(250 / bw);
    if (1500 > static_cast<float>(j0) * bw) {
        for (int j = j0; j < 512 && static_cast<float>(j) * bw < 1500; ++j) {
            low_real[j] = low_imag[j] = 0.0f;
            high_real[j] = high_imag[j] = 0.0f;
        }
    }
    // 5. From bin ⌊1500 / bw⌋ to below 22050 Hz: out of the low and the middle band.
    const int j1 = static_cast<int>(1500 / bw);
    if (22050 > static_cast<float>(j1) * bw) {
        for (int j = j1; j < 512 && static_cast<float>(j) * bw < 22050; ++j) {
            low_real[j] = low_imag[j] = 0.0f;
            mid_real[j] = mid_imag[j] = 0.0f;
        }
    }

    // 6. Each band back to 512 samples, scaled by 1/512, and its level.
    const float scale = static_cast<float>(1.0 / 512.0);
    auto level = [&](float* band_real, float* band_imag) {
        fft_zrip(band_real, band_imag, Direction::inverse);
        float samples[512];
        ztoc(band_real, band_imag, samples, half_size);
        vsmul(samples, scale, samples, 512);
        return static_cast<float>(get_peak_value(samples, 512));
    };
    const float level_low = level(low_real, low_imag);
    const float level_mid = level(mid_real, mid_imag);
    const float level_high = level(high_real, high_imag);

    // 7. Weighting.
    const float low = static_cast<float>(static_cast<double>(std::pow(level_low, 4.0f)) * 1.8);
    const float mid = static_cast<float>(static_cast<double>(std::pow(level_mid, 4.0f)) * 0.7);
    const float high = static_cast<float>(static_cast<double>(std::pow(level_high, 4.0f)) * 1.2);

    // 8. Scaled by the dominant component.
    float m = low;
    if (mid > low && mid > high) m = mid;
    else if (high > low && high > mid) m = high;
    if (m == 0) return {0.0f, 0.0f, 0.0f};
    const float r = 1 / m;
    return {low * r, mid * r, high * r};
}

double get_peak_value(const float* samples, int count, float /*unused*/) {
    float squares[512];
    const int n = std::min(count, 512);
    vsq(samples, squares, n);
    const float ms = meanv(squares, n);
    const float db = vdbcon(ms, 1.0f);
    return static_cast<float>(std::pow(10.0, static_cast<double>(db) * 0.2 / 20.0));
}

}  // namespace literal

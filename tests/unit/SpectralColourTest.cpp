// Spectral colour of 512-sample frames: which spectrum bins each band keeps,
// the packed spectrum, silence, single bands, the divisor rule, frames that
// carry no usable numbers, and the one-transform computation against the
// step-by-step reference with three inverse transforms.
#include "FFT.h"
#include "LiteralColour.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <functional>
#include <iostream>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr int kSize = 512;
constexpr int kBins = 256;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

using Frame = std::vector<float>;
using Ranges = std::vector<std::pair<int, int>>;  // inclusive bin ranges

std::bitset<kBins> bins_of(const Ranges& ranges) {
    std::bitset<kBins> bins;
    for (auto [first, last] : ranges) {
        for (int bin = first; bin <= last; ++bin) bins.set(static_cast<std::size_t>(bin));
    }
    return bins;
}

struct Membership {
    double rate;
    Ranges low, mid, high;
};

const Membership kMemberships[] = {
    {44100, {{0, 1}}, {{0, 0}, {3, 16}}, {{0, 0}, {18, 255}}},
    {48000, {{0, 1}, {236, 255}}, {{0, 0}, {3, 15}, {236, 255}}, {{0, 0}, {16, 255}}},
    {22050, {{0, 4}}, {{0, 0}, {6, 33}}, {{0, 0}, {35, 255}}},
    {96000, {{0, 0}, {118, 255}}, {{0, 0}, {2, 7}, {118, 255}}, {{0, 0}, {8, 255}}},
    {192000, {{59, 255}}, {{0, 3}, {59, 255}}, {{4, 255}}},
    // 250 Hz and 1500 Hz fall on bins 16 and 96 exactly: no bin is lost, and
    // the high range runs past the end of the spectrum.
    {8000, {{0, 15}}, {{0, 0}, {16, 95}}, {{0, 0}, {96, 255}}},
};

class BandMembership : public ::testing::TestWithParam<Membership> {};

TEST_P(BandMembership, KeepsTheBinsOfEachBand) {
    const Membership& expected = GetParam();
    const BandBins bins = band_bins(expected.rate);
    EXPECT_EQ(bins.low, bins_of(expected.low));
    EXPECT_EQ(bins.mid, bins_of(expected.mid));
    EXPECT_EQ(bins.high, bins_of(expected.high));
}

// A spectrum with a single non-zero value colours exactly the bands that keep
// its bin, in both computations. Entry 0 is tried with its DC and with its
// half-sample-rate term.
TEST_P(BandMembership, SingleBinSpectraColourTheBandsThatKeepIt) {
    const Membership& expected = GetParam();
    const BandBins bins{bins_of(expected.low), bins_of(expected.mid), bins_of(expected.high)};
    literal::LiteralColour reference(expected.rate);
    for (int entry = -1; entry < kBins; ++entry) {
        float real[512] = {};
        float imag[512] = {};
        const std::size_t bin = entry < 0 ? 0 : static_cast<std::size_t>(entry);
        (entry < 0 ? imag[0] : real[bin]) = 3.0f;
        for (const BandColor color : {real_color_for_fft_data(real, imag, expected.rate),
                                      reference.real_color_for_fft_data(real, imag)}) {
            SCOPED_TRACE("rate " + std::to_string(expected.rate) + " entry " + std::to_string(entry));
            EXPECT_EQ(color.low > 0, bins.low.test(bin));
            EXPECT_EQ(color.mid > 0, bins.mid.test(bin));
            EXPECT_EQ(color.high > 0, bins.high.test(bin));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(SampleRates, BandMembership, ::testing::ValuesIn(kMemberships),
                         [](const auto& rate_info) { return std::to_string(static_cast<int>(rate_info.param.rate)); });

Frame sine(double frequency, double rate, double amplitude = 0.8, double phase = 0.3) {
    Frame frame(kSize);
    for (int i = 0; i < kSize; ++i) {
        frame[static_cast<std::size_t>(i)] = static_cast<float>(amplitude * std::sin(kTwoPi * frequency * i / rate + phase));
    }
    return frame;
}

TEST(SpectralColour, WindowIsASymmetricHannWindow) {
    const FFT fft;
    const auto& window = fft.window();
    EXPECT_EQ(window[0], 0.0f);
    EXPECT_FLOAT_EQ(window[511], 0.0f);
    EXPECT_EQ(window[255], *std::max_element(window.begin(), window.end()));
    EXPECT_LT(window[255], 1.0f);
    EXPECT_GT(window[255], 0.99999f);
    for (int i = 0; i < kSize; ++i) EXPECT_NEAR(window[static_cast<std::size_t>(i)], window[static_cast<std::size_t>(511 - i)], 1e-6);
}

// Entry 0 holds twice the DC sum and twice the half-sample-rate sum; entries
// 1-255 twice the Fourier sums of their bins.
TEST(SpectralColour, PackedSpectrumHasTheVectorLibraryLayoutAndScale) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    Frame frame(kSize);
    for (float& sample : frame) sample = value(random) + 0.25f;
    const FFT fft;
    const PackedSpectrum packed = fft.spectrum(frame.data());
    literal::LiteralColour reference(44100);
    reference.frame_spectrum(frame.data());

    for (int bin = 0; bin < kBins; ++bin) {
        std::complex<double> sum = 0.0;
        double nyquist = 0.0;
        for (int i = 0; i < kSize; ++i) {
            const double windowed = static_cast<double>(frame[static_cast<std::size_t>(i)]) * fft.window()[static_cast<std::size_t>(i)];
            sum += windowed * std::polar(1.0, -kTwoPi * bin * i / kSize);
            nyquist += (i % 2 == 0 ? windowed : -windowed);
        }
        const double expected_real = 2.0 * sum.real();
        const double expected_imag = bin == 0 ? 2.0 * nyquist : 2.0 * sum.imag();
        const auto index = static_cast<std::size_t>(bin);
        EXPECT_NEAR(packed.real[index], expected_real, 1e-3) << "bin " << bin;
        EXPECT_NEAR(packed.imag[index], expected_imag, 1e-3) << "bin " << bin;
        EXPECT_NEAR(reference.spectrum_real()[bin], expected_real, 1e-3) << "bin " << bin;
        EXPECT_NEAR(reference.spectrum_imag()[bin], expected_imag, 1e-3) << "bin " << bin;
    }
    for (int entry = kBins; entry < 1024; ++entry) {
        EXPECT_EQ(reference.spectrum_real()[entry], 0.0f);
        EXPECT_EQ(reference.spectrum_imag()[entry], 0.0f);
    }
}

TEST(SpectralColour, SilenceHasNoColour) {
    const Frame silence(kSize, 0.0f);
    const FFT fft;
    literal::LiteralColour reference(44100);
    for (const BandColor color : {fft.color(silence.data(), 44100), reference.color_of_frame(silence.data())}) {
        EXPECT_EQ(color.low, 0.0f);
        EXPECT_EQ(color.mid, 0.0f);
        EXPECT_EQ(color.high, 0.0f);
    }
    EXPECT_EQ(fft.intensity(silence.data(), 44100), 0.0f);
    EXPECT_EQ(get_peak_value(silence.data(), kSize), 0.0);
    EXPECT_EQ(get_peak_value(silence.data(), 0), 0.0);
}

TEST(SpectralColour, BandLevelIsTheTenthRootOfTheMeanSquare) {
    const Frame frame = sine(1000, 44100);
    double mean_square = 0.0;
    for (float sample : frame) mean_square += static_cast<double>(sample) * sample;
    mean_square /= kSize;
    EXPECT_NEAR(get_peak_value(frame.data(), kSize), std::pow(mean_square, 0.1), 1e-6);
    EXPECT_DOUBLE_EQ(get_peak_value(frame.data(), kSize), literal::get_peak_value(frame.data(), kSize));
}

// Energy in bins that only one band keeps (at 44100 Hz: bin 1 low, 3-16 mid,
// 18-255 high) gives that band alone: its component 1 (up to the rounding of
// x × (1 / x)), intensity 0.5.
TEST(SpectralColour, OneBandAloneIsOneAndHalfIntensity) {
    literal::LiteralColour reference(44100);
    const struct {
        std::vector<int> bins;
        BandColor expected;
    } cases[] = {{{1}, {1, 0, 0}}, {{4, 9, 16}, {0, 1, 0}}, {{18, 100, 255}, {0, 0, 1}}};
    for (const auto& [bins, expected] : cases) {
        float real[512] = {};
        float imag[512] = {};
        for (int bin : bins) {
            real[bin] = 5.0f;
            imag[bin] = -2.0f;
        }
        for (const BandColor color : {real_color_for_fft_data(real, imag, 44100), reference.real_color_for_fft_data(real, imag)}) {
            EXPECT_FLOAT_EQ(color.low, expected.low);
            EXPECT_FLOAT_EQ(color.mid, expected.mid);
            EXPECT_FLOAT_EQ(color.high, expected.high);
            EXPECT_FLOAT_EQ(intensity_of_color(color), 0.5f);
        }
    }
}

// A sine well inside a band makes that band dominant; the window spreads a
// little of it into bin 0, which every band keeps, so the others are small
// rather than zero.
TEST(SpectralColour, SineColoursItsBand) {
    const FFT fft;
    const struct {
        double rate, frequency;
        float BandColor::*band;
    } cases[] = {{44100, 60, &BandColor::low},    {44100, 700, &BandColor::mid},   {44100, 5000, &BandColor::high},
                 {48000, 90, &BandColor::low},    {48000, 1000, &BandColor::mid},  {48000, 12000, &BandColor::high},
                 {22050, 120, &BandColor::low},   {22050, 800, &BandColor::mid},   {22050, 3000, &BandColor::high},
                 {96000, 400, &BandColor::mid},   {96000, 8000, &BandColor::high}, {8000, 100, &BandColor::low},
                 {8000, 700, &BandColor::mid},    {8000, 3000, &BandColor::high},  {192000, 800, &BandColor::mid}};
    for (const auto& [rate, frequency, band] : cases) {
        SCOPED_TRACE(std::to_string(frequency) + " Hz at " + std::to_string(rate));
        const BandColor color = fft.color(sine(frequency, rate).data(), rate);
        for (float BandColor::*component : {&BandColor::low, &BandColor::mid, &BandColor::high}) {
            if (component == band) EXPECT_FLOAT_EQ(color.*component, 1.0f);
            else EXPECT_LT(color.*component, 0.5f);
        }
    }
}

// The divisor is mid or high only when strictly above both others; a tie
// between them divides by low, which leaves both above 1.
TEST(SpectralColour, DivisorRuleAndTies) {
    const struct {
        BandColor weighted, expected;
    } cases[] = {
        {{1, 4, 2}, {0.25f, 1, 0.5f}},  // mid dominant
        {{1, 2, 4}, {0.25f, 0.5f, 1}},  // high dominant
        {{4, 1, 2}, {1, 0.25f, 0.5f}},  // low dominant
        {{1, 2, 2}, {1, 2, 2}},         // mid = high above low: divided by low
        {{4, 4, 1}, {1, 1, 0.25f}},     // low = mid: low
        {{0, 3, 3}, {0, 0, 0}},         // tie over a silent low band: divisor 0
        {{0, 0, 0}, {0, 0, 0}},
    };
    for (const auto& [weighted, expected] : cases) {
        const BandColor color = scale_to_dominant(weighted);
        EXPECT_FLOAT_EQ(color.low, expected.low);
        EXPECT_FLOAT_EQ(color.mid, expected.mid);
        EXPECT_FLOAT_EQ(color.high, expected.high);
    }
    EXPECT_EQ(intensity_of_color(scale_to_dominant({1, 2, 2})), 2.5f);
    EXPECT_EQ(intensity_of_color(scale_to_dominant({2, 2, 2})), 1.5f);
}

// Non-finite samples, a power that overflows and a sample rate that gives no
// frequency scale produce no colour instead of NaN or out-of-range bins.
TEST(SpectralColour, UnusableInputHasNoColour) {
    const FFT fft;
    const Frame music = sine(440, 44100);
    Frame with_nan = music;
    with_nan[100] = std::numeric_limits<float>::quiet_NaN();
    Frame with_infinity = music;
    with_infinity[7] = std::numeric_limits<float>::infinity();
    const Frame huge(kSize, 1e30f);
    for (const Frame* frame : std::initializer_list<const Frame*>{&with_nan, &with_infinity, &huge}) {
        EXPECT_EQ(fft.intensity(frame->data(), 44100), 0.0f);
    }
    for (double rate : {0.0, -44100.0, 1e-300, std::numeric_limits<double>::quiet_NaN(),
                        std::numeric_limits<double>::infinity(), 1e300}) {
        SCOPED_TRACE(rate);
        const BandBins bins = band_bins(rate);
        EXPECT_TRUE(bins.low.none() && bins.mid.none() && bins.high.none());
        EXPECT_EQ(fft.intensity(music.data(), rate), 0.0f);
    }
    // At a rate of 1 Hz every bin lies below 250 Hz: the low band keeps them
    // all, and the range bounds stay inside the spectrum.
    EXPECT_EQ(band_bins(1.0).low.count(), 256u);
}

// Frames of many kinds: noise, chords, harmonic tones, drums, rumble with an
// offset, clicks, and very quiet versions of them.
class FrameMaker {
public:
    explicit FrameMaker(unsigned start) : m_Random(start) {}

    Frame make(int kind, double rate) {
        Frame frame(kSize, 0.0f);
        const double nyquist = rate / 2;
        switch (kind % 8) {
            case 0:  // white noise
                fill(frame, [&](int) { return uniform(-1, 1); });
                break;
            case 1: {  // chord of up to six partials anywhere in the spectrum
                const int partials = 1 + static_cast<int>(uniform(0, 6));
                for (int p = 0; p < partials; ++p) add_sine(frame, std::exp(uniform(std::log(20.0), std::log(nyquist * 0.95))), rate, uniform(0.05, 0.5));
                break;
            }
            case 2: {  // harmonic tone
                const double fundamental = std::exp(uniform(std::log(40.0), std::log(1000.0)));
                for (int h = 1; h <= 12 && h * fundamental < nyquist; ++h) add_sine(frame, h * fundamental, rate, 0.4 / h);
                break;
            }
            case 3: {  // kick: falling pitch, fast decay
                double phase = 0;
                fill(frame, [&](int i) {
                    const double t = i / rate;
                    phase += kTwoPi * (50 + 100 * std::exp(-t * 40)) / rate;
                    return 0.9 * std::exp(-t * 25) * std::sin(phase);
                });
                break;
            }
            case 4:  // snare: decaying noise over a 200 Hz tone
                fill(frame, [&](int i) { return std::exp(-i / rate * 30) * (0.6 * uniform(-1, 1) + 0.3 * std::sin(kTwoPi * 200 * i / rate)); });
                break;
            case 5: {  // brown-noise rumble with a DC offset
                double level = uniform(-0.2, 0.2);
                fill(frame, [&](int) { return level += uniform(-0.02, 0.02); });
                break;
            }
            case 6:  // a click somewhere in the frame
                frame[static_cast<std::size_t>(uniform(0, kSize))] = static_cast<float>(uniform(-1, 1));
                break;
            default: {  // quiet tone with a little noise
                add_sine(frame, std::exp(uniform(std::log(30.0), std::log(nyquist * 0.9))), rate, 1e-5);
                fill(frame, [&, copy = frame](int i) { return copy[static_cast<std::size_t>(i)] + uniform(-1e-7, 1e-7); });
                break;
            }
        }
        if (uniform(0, 1) < 0.1) {
            for (float& sample : frame) sample *= 1e-6f;
        }
        return frame;
    }

private:
    double uniform(double low, double high) { return std::uniform_real_distribution<double>(low, high)(m_Random); }

    void add_sine(Frame& frame, double frequency, double rate, double amplitude) {
        const double phase = uniform(0, kTwoPi);
        for (int i = 0; i < kSize; ++i) frame[static_cast<std::size_t>(i)] += static_cast<float>(amplitude * std::sin(kTwoPi * frequency * i / rate + phase));
    }

    static void fill(Frame& frame, const std::function<double(int)>& value) {
        for (int i = 0; i < kSize; ++i) frame[static_cast<std::size_t>(i)] = static_cast<float>(value(i));
    }

    std::mt19937 m_Random;
};

TEST(SpectralColour, OneTransformMatchesTheStepByStepReference) {
    const FFT fft;
    FrameMaker maker(2024);
    float largest = 0.0f;
    int frames = 0;
    for (const Membership& membership : kMemberships) {
        literal::LiteralColour reference(membership.rate);
        for (int n = 0; n < 400; ++n) {
            const Frame frame = maker.make(n, membership.rate);
            const float fast = fft.intensity(frame.data(), membership.rate);
            const float slow = reference.intensity(frame.data());
            ASSERT_TRUE(std::isfinite(slow));
            ASSERT_NEAR(fast, slow, 1e-4) << "kind " << n % 8 << " at " << membership.rate;
            largest = std::max(largest, std::abs(fast - slow));
            ++frames;
        }
    }
    std::cout << "largest intensity difference over " << frames << " frames: " << largest << '\n';
}

// One FFT object serves several threads at once, each computing its own
// frames; the results are those of one thread alone.
TEST(SpectralColour, ThreadsShareOneFftObject) {
    const FFT fft;
    FrameMaker maker(99);
    std::vector<Frame> frames;
    for (int n = 0; n < 2000; ++n) frames.push_back(maker.make(n, 48000));
    std::vector<float> alone(frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) alone[i] = fft.intensity(frames[i].data(), 48000);

    std::vector<float> shared(frames.size());
    {
        std::vector<std::jthread> threads;
        for (std::size_t t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (std::size_t i = t; i < frames.size(); i += 4) shared[i] = fft.intensity(frames[i].data(), 48000);
            });
        }
    }
    EXPECT_EQ(shared, alone);
}

// Frames coloured a few at a time give, to the bit, the values of frames
// coloured one at a time; so does every remainder of a group.
TEST(SpectralColour, FramesInGroupsMatchFramesAlone) {
    const FFT fft;
    std::vector<float> series(40000);
    std::uint32_t state = 5;
    for (float& sample : series) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<float>(state >> 8) / static_cast<float>(1u << 24) - 0.5f;
    }
    for (const std::int64_t count : {1, 3, 4, 7, 70}) {
        std::vector<float> grouped(static_cast<std::size_t>(count));
        fft.intensities(series.data(), 441, count, 44100, grouped.data());
        for (std::int64_t i = 0; i < count; ++i) {
            ASSERT_EQ(grouped[static_cast<std::size_t>(i)], fft.intensity(series.data() + i * 441, 44100)) << count;
        }
    }
}

}  // namespace

// The series computed while a file is decoded are byte for byte those of the
// whole loaded series, on every decoder and at the edges of the point rules.
#include "AudioFiles.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <ostream>
#include <thread>

namespace {

struct StreamCase {
    const char* name;
    // Writes the file into the directory and returns its path; empty when
    // the file cannot be made here.
    std::function<std::string(TempDir&)> make;
    float start = 0.0f;
    float length = 1.0f;
    // Ranges decoded at the same time on a machine of several cores: 1 when
    // decoded in one go.
    int ranges = 1;
};

void PrintTo(const StreamCase& c, std::ostream* out) { *out << c.name; }

std::vector<float> signal(std::int64_t frames, int channels) {
    std::vector<float> samples(static_cast<std::size_t>(frames * channels));
    std::uint32_t state = 7;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        const float noise = static_cast<float>(state >> 8) / static_cast<float>(1u << 24) - 0.5f;
        samples[i] =
            0.6f * std::sin(static_cast<float>(i / channels) * 0.01f) * std::sin(static_cast<float>(i) * 1e-5f) +
            0.2f * noise;
    }
    return samples;
}

std::string plain(TempDir& dir, const char* name, std::int64_t frames, int channels, int format) {
    return writeSound(dir.file(name), channels, signal(frames, channels), format);
}

bool sameBytes(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

class WaveformStreamTest : public testing::TestWithParam<StreamCase> {};

TEST_P(WaveformStreamTest, MatchesTheWholeSeries) {
    TempDir dir;
    const std::string path = GetParam().make(dir);
    if (path.empty()) GTEST_SKIP() << "cannot make the file here";
    auto analyzer = productionAnalyzer();
    std::int64_t count = 0;
    const float* samples = analyzer->load_file(path.c_str(), &count, GetParam().start, GetParam().length);
    ASSERT_NE(samples, nullptr);
    const std::vector<float> wave = analyzer->wave_series(samples, count);
    const std::vector<float> intensity = analyzer->intensity_series(samples, count);
    const waveform::Decoder decoder = analyzer->decoder();

    const WaveformAnalysis analysis = analyzer->analyze_file(path.c_str(), GetParam().start, GetParam().length);
    const auto& streamed = analysis.series;
    ASSERT_TRUE(streamed.has_value());
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    EXPECT_EQ(analysis.ranges, std::min(GetParam().ranges, cores));
    EXPECT_EQ(analysis.decoder, decoder);
    EXPECT_EQ(streamed->count, count);
    EXPECT_EQ(streamed->duration, waveform::duration(count, analyzer->sample_rate));
    EXPECT_TRUE(sameBytes(streamed->waveform, wave));
    EXPECT_TRUE(sameBytes(streamed->intensity, intensity));
}

// Frame counts around the block size and the point rules: k = 1 with the
// last frames, k = 2 with a remainder, long windows; mono at half and full
// amplitude, NaN samples, a FLAC that declares more frames than it holds
// (read again to what it holds) or no length at all (counted first); files
// long enough to be decoded in ranges, lossless and lossy.
INSTANTIATE_TEST_SUITE_P(
    Files, WaveformStreamTest,
    testing::Values(
        StreamCase{"MonoWavOfOneWindowPerPoint",
                   [](TempDir& d) { return plain(d, "a.wav", 30000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16); }},
        StreamCase{"StereoFloatWavWithNaNs",
                   [](TempDir& d) {
                       std::vector<float> samples = signal(300007, 2);
                       for (std::size_t i = 1000; i < samples.size(); i += 70001) {
                           samples[i] = std::numeric_limits<float>::quiet_NaN();
                       }
                       return writeSound(d.file("b.wav"), 2, samples, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
                   }},
        StreamCase{"LongStereoFlac",
                   [](TempDir& d) { return plain(d, "c.flac", 1234567, 2, SF_FORMAT_FLAC | SF_FORMAT_PCM_16); }},
        StreamCase{"FlacDeclaringMoreThanItHolds",
                   [](TempDir& d) {
                       return setFlacLength(plain(d, "d.flac", 400000, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16), 401000);
                   }},
        StreamCase{"FlacDeclaringFarMoreThanItHolds",
                   [](TempDir& d) {
                       return setFlacLength(plain(d, "g.flac", 40000, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16), 9000000);
                   }},
        StreamCase{"FlacOfUnknownLength",
                   [](TempDir& d) {
                       return setFlacLength(plain(d, "j.flac", 70001, 2, SF_FORMAT_FLAC | SF_FORMAT_PCM_16), 0);
                   }},
        StreamCase{"WavInRanges",
                   [](TempDir& d) { return plain(d, "h.wav", 2300001, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_24); }, 0.0f,
                   1.0f, 2},
        StreamCase{"FlacInRanges",
                   [](TempDir& d) { return plain(d, "i.flac", 2200003, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16); }, 0.0f,
                   1.0f, 2},
        // Lossy decoders start each range early and keep it only where it
        // meets the range before bit for bit.
        StreamCase{"Mp3InRanges",
                   [](TempDir& d) {
                       return plain(d, "k.mp3", 2300001, 2, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
                   },
                   0.0f, 1.0f, 2},
        StreamCase{"AacInRanges",
                   [](TempDir& d) {
                       const std::string source = plain(d, "l.wav", 2300001, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
                       return ffmpeg("-i " + source + " -c:a aac " + d.file("l.m4a")) ? d.file("l.m4a") : "";
                   },
                   0.0f, 1.0f, 2},
        StreamCase{"OwnDecoderStereo",
                   [](TempDir& d) {
                       std::vector<std::int16_t> samples;
                       for (float sample : signal(90001, 2))
                           samples.push_back(static_cast<std::int16_t>(sample * 30000));
                       return writeDataFirstWav(d.file("e.wav"), 2, samples);
                   }},
        StreamCase{"PlatformAlacWithFractions",
                   [](TempDir& d) {
                       const std::string source = plain(d, "f.wav", 200003, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
                       return ffmpeg("-i " + source + " -c:a alac " + d.file("f.m4a")) ? d.file("f.m4a") : "";
                   },
                   0.25f, 0.6f}),
    [](const testing::TestParamInfo<StreamCase>& param) { return std::string(param.param.name); });

}  // namespace

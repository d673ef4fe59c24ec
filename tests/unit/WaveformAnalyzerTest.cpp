// Point counts, blob layouts and decoder choice of the waveform analyzer.
#include "WaveformAnalyzer.h"

#include "AudioFiles.h"
#include "LiteralAnalysis.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <oscpack/osc/OscOutboundPacketStream.h>
#include <oscpack/osc/OscReceivedElements.h>
#include <sndfile.h>

#include <cmath>
#include <cstring>

namespace {

struct Series {
    std::vector<float> values;
    std::size_t bytes = 0;
    float duration = 0;
};

enum class Analysis { Wave, Intensity };

Series run(WaveformAnalyzer& analyzer, Analysis which, const std::vector<float>& samples) {
    std::vector<char> buffer(262144);
    osc::OutboundPacketStream stream(buffer.data(), buffer.size());
    stream << osc::BeginMessage("/x");
    const auto length = static_cast<std::int64_t>(samples.size());
    if (which == Analysis::Wave) analyzer.analyze_wave(samples.data(), length, stream);
    else analyzer.analyze_intensity(samples.data(), length, stream);
    stream << osc::EndMessage;
    const osc::ReceivedMessage message(osc::ReceivedPacket(stream.Data(), stream.Size()));
    auto argument = message.ArgumentsBegin();
    const void* blob = nullptr;
    osc::osc_bundle_element_size_t size = 0;
    (argument++)->AsBlob(blob, size);
    Series series;
    series.bytes = static_cast<std::size_t>(size);
    series.values.resize(series.bytes / 4);
    std::memcpy(series.values.data(), blob, series.bytes);
    series.duration = argument->AsFloat();
    return series;
}

std::vector<float> noise(std::size_t count) {
    std::vector<float> samples(count);
    std::uint32_t state = 12345;
    for (auto& sample : samples) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<float>(state >> 8) / static_cast<float>(1u << 24) * 2.0f - 1.0f;
    }
    return samples;
}

TEST(WaveformAnalyzerTest, PointCountsAndBlobSizes) {
    struct Case {
        std::size_t samples;
        std::size_t blobBytes;
        std::size_t pairs;
        std::size_t intensityPoints;
    };
    // Intensity: every point whose 512-sample frame lies inside the series
    // (i * k + 512 <= length), none when q <= 512.
    for (const Case& c : {Case{30000, 120016, 15000, 29489}, Case{44100, 88208, 11025, 21795},
                          Case{1000, 4016, 500, 489}, Case{513, 2064, 256, 2}, Case{512, 2064, 256, 0},
                          Case{400, 1616, 200, 0}, Case{0, 16, 0, 0}, Case{30001, 60016, 7500, 14745}}) {
        auto made = productionAnalyzer();  // 44100 Hz until a file says otherwise
        WaveformAnalyzer& analyzer = *made;
        const std::vector<float> samples = noise(c.samples);
        const Series wave = run(analyzer, Analysis::Wave, samples);
        const Series intensity = run(analyzer, Analysis::Intensity, samples);
        EXPECT_EQ(wave.bytes, c.blobBytes) << c.samples;
        EXPECT_EQ(intensity.bytes, c.blobBytes) << c.samples;
        EXPECT_FLOAT_EQ(wave.duration, static_cast<float>(c.samples / 44100.0)) << c.samples;
        EXPECT_FLOAT_EQ(intensity.duration, wave.duration);
        // Pairs fill the front; everything after them is zero, never stale.
        for (std::size_t i = 2 * c.pairs; i < wave.values.size(); ++i) ASSERT_EQ(wave.values[i], 0.0f) << i;
        if (c.pairs > 0) {
            EXPECT_NE(wave.values[2 * c.pairs - 1], 0.0f);
        }
        for (std::size_t i = c.intensityPoints; i < intensity.values.size(); ++i) ASSERT_EQ(intensity.values[i], 0.0f);
        for (std::size_t i = 0; i < c.intensityPoints; ++i) ASSERT_GT(intensity.values[i], 0.0f) << i;
    }
}

TEST(WaveformAnalyzerTest, PairsFollowTheOrderOfTheExtremes) {
    auto made = productionAnalyzer();
    WaveformAnalyzer& analyzer = *made;
    // 44100 samples: k = 2, windows of 4 samples.
    std::vector<float> samples(44100, 0.0f);
    const float rising[4] = {-0.5f, 0.0f, 0.25f, 0.75f};  // smallest first: (smallest, largest)
    const float falling[4] = {0.5f, 0.9f, -0.2f, 0.1f};   // largest first: (largest, smallest)
    const float flat[4] = {0.3f, 0.3f, 0.3f, 0.3f};       // same position: (largest, smallest)
    std::copy(rising, rising + 4, samples.begin());
    std::copy(falling, falling + 4, samples.begin() + 4);
    std::copy(flat, flat + 4, samples.begin() + 8);
    const Series wave = run(analyzer, Analysis::Wave, samples);
    EXPECT_EQ(std::vector<float>(wave.values.begin(), wave.values.begin() + 6),
              (std::vector<float>{-0.5f, 0.75f, 0.9f, -0.2f, 0.3f, 0.3f}));
    EXPECT_FLOAT_EQ(wave.duration, 1.0f);
}

TEST(WaveformAnalyzerTest, StaleDataFromAnEarlierFileNeverLeaks) {
    auto made = productionAnalyzer();
    WaveformAnalyzer& analyzer = *made;
    run(analyzer, Analysis::Wave, std::vector<float>(30000, 0.8f));
    const Series small = run(analyzer, Analysis::Wave, std::vector<float>(1003, 0.1f));
    for (std::size_t i = 2 * 501; i < small.values.size(); ++i) EXPECT_EQ(small.values[i], 0.0f);
}

// The product computes the colour from the spectrum directly and spreads the
// points over threads; the numbers must stay those of the literal steps.
TEST(WaveformAnalyzerTest, MatchesTheLiteralAnalyses) {
    for (std::size_t length : {44100u, 100000u, 2000u}) {
        std::vector<float> samples = noise(length);
        for (std::size_t i = 0; i < length; ++i) samples[i] *= std::sin(static_cast<float>(i) * 0.001f);
        auto made = productionAnalyzer();
    WaveformAnalyzer& analyzer = *made;
        const Series wave = run(analyzer, Analysis::Wave, samples);
        const Series intensity = run(analyzer, Analysis::Intensity, samples);
        const auto n = static_cast<std::int64_t>(length);
        EXPECT_EQ(wave.values, literal::analyze_wave(samples.data(), n)) << length;
        const std::vector<float> reference = literal::analyze_intensity(samples.data(), n, 44100.0);
        ASSERT_EQ(intensity.values.size(), reference.size());
        for (std::size_t i = 0; i < reference.size(); ++i) {
            ASSERT_NEAR(intensity.values[i], reference[i], 1.4e-6) << length << " point " << i;
        }
    }
}

TEST(WaveformAnalyzerTest, LibraryPathHalvesTheSumOfTheChannels) {
    TempDir dir;
    auto made = productionAnalyzer();
    WaveformAnalyzer& analyzer = *made;
    std::int64_t count = 0;
    writeSound(dir.file("mono.wav"), 1, std::vector<float>(1000, 0.5f), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 22050);
    const float* mono = analyzer.load_file(dir.file("mono.wav").c_str(), &count, 0, 1);
    ASSERT_NE(mono, nullptr);
    EXPECT_EQ(analyzer.decoder(), waveform::Decoder::Libsndfile);
    EXPECT_EQ(count, 1000);
    EXPECT_EQ(analyzer.sample_rate, 22050.0);
    EXPECT_FLOAT_EQ(mono[10], 0.25f);  // a mono file arrives at half amplitude

    std::vector<float> stereo;
    for (int i = 0; i < 1000; ++i) stereo.insert(stereo.end(), {0.5f, -0.25f});
    writeSound(dir.file("stereo.wav"), 2, stereo);
    const float* mixed = analyzer.load_file(dir.file("stereo.wav").c_str(), &count, 0, 1);
    ASSERT_NE(mixed, nullptr);
    EXPECT_NEAR(mixed[10], 0.125f, 1e-4);  // the mean of the two channels
}

// Every 16-bit value in each channel: the series is the float read of the
// file mixed by the library path's rule, to the bit.
TEST(WaveformAnalyzerTest, LibraryPathMixesSixteenBitFilesAsItsFloatRead) {
    TempDir dir;
    for (const int format : {SF_FORMAT_WAV, SF_FORMAT_AIFF, SF_FORMAT_FLAC}) {
        for (const int channels : {1, 2, 3}) {
            const std::string path = dir.file("all-values");
            {
                SF_INFO info{};
                info.samplerate = 44100;
                info.channels = channels;
                info.format = format | SF_FORMAT_PCM_16;
                SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
                std::vector<short> frames;
                for (int v = -32768; v < 32768; ++v) {
                    for (int c = 0; c < channels; ++c) frames.push_back(static_cast<short>(c % 2 == 0 ? v : -1 - v));
                }
                sf_writef_short(file, frames.data(), 65536);
                sf_close(file);
            }
            SF_INFO info{};
            SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
            std::vector<float> floats(static_cast<std::size_t>(65536 * channels));
            ASSERT_EQ(sf_readf_float(file, floats.data(), 65536), 65536);
            sf_close(file);
            std::vector<float> expected(65536);
            for (std::size_t f = 0; f < expected.size(); ++f) {
                float sum = 0.0f;
                const float* frame = &floats[f * static_cast<std::size_t>(channels)];
                for (int c = 0; c < channels; ++c) sum += frame[c];
                expected[f] = sum * 0.5f;
            }
            auto made = productionAnalyzer();
            std::int64_t count = 0;
            const float* series = made->load_file(path.c_str(), &count, 0, 1);
            ASSERT_EQ(count, 65536);
            EXPECT_EQ(std::memcmp(series, expected.data(), expected.size() * sizeof(float)), 0) << format << channels;
        }
    }
}

TEST(WaveformAnalyzerTest, NamesChooseTheFallbackDecoder) {
    TempDir dir;
    auto made = productionAnalyzer();
    WaveformAnalyzer& analyzer = *made;
    std::int64_t count = 7;
    writeFile(dir.file("junk.WAV"), "not audio at all");
    EXPECT_EQ(analyzer.load_file(dir.file("junk.WAV").c_str(), &count, 0, 1), nullptr);
    EXPECT_EQ(analyzer.decoder(), waveform::Decoder::Ffmpeg);  // upper case is not ".wav"
    writeFile(dir.file("junk.wav"), "not audio at all");
    EXPECT_EQ(analyzer.load_file(dir.file("junk.wav").c_str(), &count, 0, 1), nullptr);
    EXPECT_EQ(analyzer.decoder(), waveform::Decoder::WavAiff);
    EXPECT_EQ(analyzer.load_file(dir.file("missing.m4a").c_str(), &count, 0, 1), nullptr);
    EXPECT_EQ(analyzer.decoder(), waveform::Decoder::Ffmpeg);
}

// A stereo ALAC file in M4A: lossless, and only FFmpeg opens it.
TEST(WaveformAnalyzerTest, PlatformPathReadsTheFirstChannelForTheFractionsLength) {
    TempDir dir;
    std::vector<float> stereo;
    for (int i = 0; i < 1000; ++i) stereo.insert(stereo.end(), {static_cast<float>(i % 100) / 128.0f, -0.5f});
    writeSound(dir.file("source.wav"), 2, stereo);
    if (!ffmpeg("-i " + dir.file("source.wav") + " -c:a alac " + dir.file("clip.m4a"))) {
        GTEST_SKIP() << "ffmpeg cannot make the test file";
    }
    auto made = productionAnalyzer();
    WaveformAnalyzer& analyzer = *made;
    std::int64_t count = 0;
    const float* samples = analyzer.load_file(dir.file("clip.m4a").c_str(), &count, 0.5f, 0.25f);
    ASSERT_NE(samples, nullptr);
    EXPECT_EQ(analyzer.decoder(), waveform::Decoder::Ffmpeg);
    EXPECT_EQ(count, 250);  // the start only moves the length, reading begins at frame 0
    for (int i = 0; i < 250; ++i) ASSERT_NEAR(samples[i], static_cast<float>(i % 100) / 128.0f, 1e-4) << i;
    const float* whole = analyzer.load_file(dir.file("clip.m4a").c_str(), &count, 0.0f, 1.0f);
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(count, 1000);
}

}  // namespace

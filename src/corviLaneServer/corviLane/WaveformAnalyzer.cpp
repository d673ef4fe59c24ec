#include "WaveformAnalyzer.h"

#include "AudioFile.h"
#include "Console.h"
#include "FFT.h"
#include "PlatformAudioReader.h"

#include <oscpack/osc/OscOutboundPacketStream.h>
#include <sndfile.h>
#include <syslog.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

static_assert(std::endian::native == std::endian::little, "blobs carry little-endian floats as they lie in memory");

namespace {

// The largest blob: 4 x floor(30000 / 4) + 4 floats.
constexpr std::size_t kBufferFloats = 4 * (WaveformAnalyzer::kMaxPoints / 4) + 4;
// Frames decoded per read, mixed to mono as they arrive.
constexpr sf_count_t kBlockFrames = 16384;
// Cap on what one platform load reads (about 460 MB of float samples).
constexpr std::int64_t kMaxPlatformFrames = 114988604;

bool endsWith(const std::string& text, const char* ending) {
    const std::size_t size = std::strlen(ending);
    return text.size() >= size && text.compare(text.size() - size, size, ending) == 0;
}

// The largest and smallest value of a window, four lanes at a time.
struct Extremes {
    float lowest;
    float highest;
};

Extremes extremesOf(const float* begin, std::int64_t count) {
    using Lanes = float __attribute__((vector_size(16)));
    constexpr int kLanes = 4;
    Lanes low = begin[0] - Lanes{};
    Lanes high = low;
    std::int64_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        Lanes x;
        std::memcpy(&x, begin + i, sizeof x);
        low = x < low ? x : low;
        high = x > high ? x : high;
    }
    Extremes result{low[0], high[0]};
    for (int lane = 1; lane < kLanes; ++lane) {
        result.lowest = low[lane] < result.lowest ? low[lane] : result.lowest;
        result.highest = high[lane] > result.highest ? high[lane] : result.highest;
    }
    for (; i < count; ++i) {
        result.lowest = begin[i] < result.lowest ? begin[i] : result.lowest;
        result.highest = begin[i] > result.highest ? begin[i] : result.highest;
    }
    return result;
}

// Position of the first value equal to `a` or `b`, four at a time; `count`
// when there is none.
std::int64_t firstOfEither(const float* begin, std::int64_t count, float a, float b) {
    using Lanes = float __attribute__((vector_size(16)));
    using Mask = std::int32_t __attribute__((vector_size(16)));
    constexpr int kLanes = 4;
    const Lanes first = a - Lanes{};
    const Lanes second = b - Lanes{};
    std::int64_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        Lanes x;
        std::memcpy(&x, begin + i, sizeof x);
        const Mask hit = (x == first) | (x == second);
        std::uint64_t words[2];
        std::memcpy(words, &hit, sizeof words);
        if ((words[0] | words[1]) != 0) break;
    }
    for (; i < count; ++i) {
        if (begin[i] == a || begin[i] == b) return i;
    }
    return count;
}

// One waveform pair: the window's extremes in the order of their first
// occurrences; when both first occur at the same place (a constant window),
// (largest, smallest).
void pairOf(const float* begin, std::int64_t count, float* pair) {
    const Extremes extremes = extremesOf(begin, count);
    if (!std::isnan(extremes.lowest) && !std::isnan(extremes.highest)) {
        const std::int64_t i = firstOfEither(begin, count, extremes.lowest, extremes.highest);
        if (i < count) {
            const bool highestFirst = begin[i] == extremes.highest;
            const float other = highestFirst ? extremes.lowest : extremes.highest;
            pair[0] = begin[i];
            pair[1] = begin[i + firstOfEither(begin + i, count - i, other, other)];
            return;
        }
    }
    // A window that starts with NaN: compare one by one from its first value.
    const float* lowest = begin;
    const float* highest = begin;
    for (const float* at = begin + 1; at < begin + count; ++at) {
        if (*at > *highest) highest = at;
        if (*at < *lowest) lowest = at;
    }
    const bool risesLast = highest > lowest;
    pair[0] = risesLast ? *lowest : *highest;
    pair[1] = risesLast ? *highest : *lowest;
}

// Runs work(first, last) over [0, count) split across the machine's cores.
template <class Work>
void inParallel(std::int64_t count, Work work) {
    const auto workers = static_cast<std::int64_t>(std::max(1u, std::thread::hardware_concurrency()));
    const std::int64_t share = (count + workers - 1) / workers;
    std::vector<std::jthread> threads;
    for (std::int64_t w = 1; w < workers && w * share < count; ++w) {
        threads.emplace_back(work, w * share, std::min(count, (w + 1) * share));
    }
    work(0, std::min(count, share));
}

struct SoundFileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};

}  // namespace

WaveformAnalyzer::WaveformAnalyzer()
    : m_WaveformBuffer(kBufferFloats, 0.0f), m_IntensityBuffer(kBufferFloats, 0.0f), m_Fft(std::make_unique<FFT>()) {}

WaveformAnalyzer::~WaveformAnalyzer() = default;

WaveformAnalyzer::Points WaveformAnalyzer::pointsFor(std::int64_t length) {
    const auto k = static_cast<std::int64_t>(std::ceil(static_cast<float>(length) / 30000.0f));
    const std::int64_t samplesPerPoint = std::max<std::int64_t>(k, 1);
    return {samplesPerPoint, length / static_cast<std::uint32_t>(samplesPerPoint)};
}

float* WaveformAnalyzer::load_file(const char* path, std::int64_t* length, float start_in_percent,
                                   float length_in_percent) {
    unsupported_format.clear();
    m_Decoder.clear();
    if (path == nullptr || length == nullptr) return nullptr;
    bool opened = false;
    float* samples = loadWithLibrary(path, length, opened);
    if (opened) return samples;
    *length = 0;
    const std::string name = path;
    if (endsWith(name, ".aiff") || endsWith(name, ".aif") || endsWith(name, ".wav")) {
        return loadWithDecoder(path, length);
    }
    return loadWithPlatform(path, start_in_percent, length_in_percent, length);
}

// libsndfile: every channel summed in channel order, then halved, whatever
// the channel count. Decoded block by block so that no interleaved copy of
// the whole file is ever held.
float* WaveformAnalyzer::loadWithLibrary(const char* path, std::int64_t* length, bool& opened) {
    SF_INFO info{};
    std::unique_ptr<SNDFILE, SoundFileCloser> file(sf_open(path, SFM_READ, &info));
    opened = file != nullptr;
    if (!opened) return nullptr;
    m_Decoder = "library";
    sample_rate = info.samplerate;
    const std::int64_t frames = std::max<sf_count_t>(info.frames, 0);
    file_length_in_samples = frames;
    const int channels = std::max(info.channels, 1);
    try {
        m_MonoSamples.assign(static_cast<std::size_t>(frames), 0.0f);
        m_MonoSamples.shrink_to_fit();
        std::vector<float> block(static_cast<std::size_t>(kBlockFrames * channels));
        std::int64_t done = 0;
        while (done < frames) {
            const sf_count_t want = std::min<sf_count_t>(kBlockFrames, frames - done);
            const sf_count_t got = sf_readf_float(file.get(), block.data(), want);
            if (got <= 0) break;  // frames not delivered stay silent
            for (sf_count_t f = 0; f < got; ++f) {
                float sum = 0.0f;
                for (int c = 0; c < channels; ++c) sum += block[static_cast<std::size_t>(f * channels + c)];
                m_MonoSamples[static_cast<std::size_t>(done + f)] = sum * 0.5f;
            }
            done += got;
        }
    } catch (const std::bad_alloc&) {
        m_MonoSamples = {};
        return nullptr;
    }
    *length = frames;
    return m_MonoSamples.data();
}

float* WaveformAnalyzer::loadWithDecoder(const char* path, std::int64_t* length) {
    m_Decoder = "decoder";
    AudioFile<float> file;
    const bool loaded = file.load(path);
    Console::print("opening wav from: %s\nsuccessful: %d\n", path, loaded ? 1 : 0);
    sample_rate = file.getSampleRate();
    const std::int64_t n = file.getNumChannels() > 0 ? file.getNumSamplesPerChannel() : 0;
    file_length_in_samples = n;
    *length = n;
    Console::print("opening wav from: %s\nsuccessful: %d\nsampleRate: %f\nfile_length_in_samples: %ld\n", path,
                loaded ? 1 : 0, sample_rate, static_cast<long>(n));
    if (file.channelSamples.empty() || file.channelSamples[0].empty()) {
        Console::print("samples not there?\n");
        unsupported_format = file.unsupportedFormatId;
        return nullptr;
    }
    try {
        m_MonoSamples.assign(static_cast<std::size_t>(n) + 10, 0.0f);
        std::copy_n(file.channelSamples[0].begin(), n, m_MonoSamples.begin());
        if (file.getNumChannels() == 2) {
            for (std::int64_t i = 0; i < n; ++i) {
                const auto at = static_cast<std::size_t>(i);
                m_MonoSamples[at] = (m_MonoSamples[at] + file.channelSamples[1][at]) * 0.5f;
            }
        }
    } catch (const std::bad_alloc&) {
        m_MonoSamples = {};
        return nullptr;
    }
    return m_MonoSamples.data();
}

// FFmpeg: the first channel, unmixed; the fractions only decide how many
// frames are read from the start of the file.
float* WaveformAnalyzer::loadWithPlatform(const char* path, float start, float fraction, std::int64_t* length) {
    m_Decoder = "platform";
    m_PlatformSamples = {};
    m_PlatformFile = std::make_unique<PlatformAudioReader>();
    std::string error;
    if (!m_PlatformFile->open(path, error)) {
        syslog(LOG_ERR, "Error when trying to open AVAudioFile: %s\n URL: %s", error.c_str(), path);
        return nullptr;
    }
    const auto frames = static_cast<float>(m_PlatformFile->lengthInFrames());
    const float s = start * frames;
    std::int64_t n = static_cast<std::int64_t>(std::trunc(fraction * frames + s)) -
                     static_cast<std::int64_t>(std::trunc(s));
    if (n > kMaxPlatformFrames) n = kMaxPlatformFrames;
    n = std::max<std::int64_t>(n, 0);
    file_length_in_samples = n;
    *length = n;
    sample_rate = m_PlatformFile->sampleRate();
    syslog(LOG_DEBUG, "%s", m_PlatformFile->formatDescription().c_str());
    try {
        if (!m_PlatformFile->readFirstChannel(n, m_PlatformSamples, error)) {
            syslog(LOG_ERR, "%s", error.c_str());
            return nullptr;
        }
    } catch (const std::bad_alloc&) {
        Console::print("path: %s\n", path);
        Console::print("length: %lld\n", static_cast<long long>(n));
        Console::print("not enough RAM to load sample in memory\n");
        return nullptr;
    }
    return m_PlatformSamples.data();
}

void WaveformAnalyzer::appendBlobAndDuration(const std::vector<float>& buffer, std::int64_t q, std::int64_t length,
                                             osc::OutboundPacketStream& stream) const {
    const std::size_t bytes = blobBytes(q);
    stream << osc::Blob(buffer.data(), static_cast<osc::osc_bundle_element_size_t>(bytes));
    const double seconds = sample_rate > 0 ? static_cast<double>(length) / sample_rate : 0.0;
    stream << static_cast<float>(seconds);
}

// Pairs of the extremes of windows of 2k samples, in the order they occur;
// ties (a constant window) give (largest, smallest).
void WaveformAnalyzer::analyze_wave(const float* samples, std::int64_t length, osc::OutboundPacketStream& stream) {
    const Points points = pointsFor(length);
    std::fill_n(m_WaveformBuffer.begin(), blobBytes(points.q) / sizeof(float), 0.0f);
    const std::int64_t window = 2 * points.k;
    const std::int64_t pairs = points.q > 1 ? points.q / 2 : 0;
    inParallel(pairs, [&](std::int64_t first, std::int64_t last) {
        for (std::int64_t j = first; j < last; ++j) {
            pairOf(samples + window * j, window, &m_WaveformBuffer[static_cast<std::size_t>(2 * j)]);
        }
    });
    appendBlobAndDuration(m_WaveformBuffer, points.q, length, stream);
}

// One spectral value per point, from the 512 samples starting at the point;
// the last 512 points stay 0. The points are independent: they are spread
// over the machine's cores.
void WaveformAnalyzer::analyze_intensity(const float* samples, std::int64_t length,
                                         osc::OutboundPacketStream& stream) {
    const Points points = pointsFor(length);
    std::fill_n(m_IntensityBuffer.begin(), blobBytes(points.q) / sizeof(float), 0.0f);
    const std::int64_t count = std::max<std::int64_t>(points.q - kFrameSize, 0);
    inParallel(count, [&](std::int64_t first, std::int64_t last) {
        for (std::int64_t i = first; i < last; ++i) {
            m_IntensityBuffer[static_cast<std::size_t>(i)] =
                m_Fft->intensity(samples + i * points.k, static_cast<float>(sample_rate));
        }
    });
    appendBlobAndDuration(m_IntensityBuffer, points.q, length, stream);
}

#include "WaveformAnalyzer.h"

#include "Console.h"
#include "BandColour.h"
#include "StreamingAnalysis.h"

#include <oscpack/osc/OscOutboundPacketStream.h>
#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <bit>
#include <cmath>
#include <exception>
#include <limits>
#include <new>

static_assert(std::endian::native == std::endian::little, "blobs carry little-endian floats as they lie in memory");
// Every series a load may take can be streamed: its pair windows fit the
// analysis's buffer.
static_assert(2 * ((WaveformAnalyzer::kMaxSeriesFrames + waveform::kMaxPoints - 1) / waveform::kMaxPoints) <=
              StreamingAnalysis::kMaxWindow);

namespace {


bool endsWith(const std::string& text, const char* ending) {
    const std::string_view tail(ending);
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A declared length beyond what a load may take is not believed: the frames
// the file really holds are counted instead.
std::int64_t lengthOrUnknown(std::int64_t declared) {
    return declared >= 0 && declared <= WaveformAnalyzer::kMaxSeriesFrames ? declared : AudioReader::kUnknownLength;
}

// A float towards zero as a 64-bit integer, for any value: NaN counts as 0
// and magnitudes beyond what the frame arithmetic needs are held at 2^62.
std::int64_t truncated(float value) {
    constexpr float kBound = 4611686018427387904.0f;  // 2^62
    if (std::isnan(value)) return 0;
    return static_cast<std::int64_t>(std::trunc(std::clamp(value, -kBound, kBound)));
}

float fractionOrZero(float fraction) { return std::isnan(fraction) ? 0.0f : fraction; }

// The frames of a file of `frames` frames that the fractions select: the
// start fraction moves the end, reading always begins at the first frame.
std::int64_t framesForFractions(std::int64_t frames, float start, float fraction) {
    const auto length = static_cast<float>(frames);
    const float s = fractionOrZero(start) * length;
    const std::int64_t n = truncated(fractionOrZero(fraction) * length + s) - truncated(s);
    return std::clamp<std::int64_t>(n, 0, WaveformAnalyzer::max_file_length);
}

}  // namespace

WaveformAnalyzer::WaveformAnalyzer(Parts parts)
    : m_Library(std::move(parts.library)), m_Platform(std::move(parts.platform)), m_Colour(std::move(parts.colour)) {}

WaveformAnalyzer::~WaveformAnalyzer() = default;

float* WaveformAnalyzer::load_file(const char* path, std::int64_t* length, float start_in_percent,
                                   float length_in_percent) {
    m_StreamInto = nullptr;
    if (length == nullptr) return nullptr;
    return loadGuarded(path, *length, start_in_percent, length_in_percent) ? m_Series.data() : nullptr;
}

std::optional<WaveformSeries> WaveformAnalyzer::analyze_file(const char* path, float start_in_percent,
                                                             float length_in_percent) {
    WaveformSeries series;
    m_StreamInto = &series;
    std::int64_t count = 0;
    const bool loaded = loadGuarded(path, count, start_in_percent, length_in_percent);
    m_StreamInto = nullptr;
    if (!loaded) return std::nullopt;
    if (!m_Streamed) {
        series.waveform = wave_series(m_Series.data(), count);
        series.intensity = intensity_series(m_Series.data(), count);
    }
    m_Series.release();
    series.count = count;
    series.duration = waveform::duration(count, sample_rate);
    return series;
}

bool WaveformAnalyzer::loadGuarded(const char* path, std::int64_t& length, float start, float fraction) {
    unsupported_format.clear();
    m_Decoder.clear();
    m_Identity = {};
    m_Streamed = false;
    m_Ranges = 0;
    bool loaded = false;
    if (path != nullptr) {
        try {
            loaded = load(path, length, start, fraction);
        } catch (const std::exception& error) {
            Console::print("cannot load %s: %s\n", path, error.what());
        } catch (...) {
            Console::print("cannot load %s\n", path);
        }
    }
    if (!loaded) {
        m_Series.release();
        m_Streamed = false;
        m_Ranges = 0;
    }
    return loaded;
}

bool WaveformAnalyzer::load(const std::string& path, std::int64_t& length, float start, float fraction) {
    const RegularFile file = RegularFile::open(path);
    if (file.isOpen() && m_Library) {
        Refusal refusal;
        if (m_Library->open(file, m_Interrupted, refusal)) return loadWithLibrary(file, length);
    }
    length = 0;
    if (endsWith(path, ".aiff") || endsWith(path, ".aif") || endsWith(path, ".wav")) {
        return loadWithDecoder(file, length);
    }
    return loadWithPlatform(file, start, fraction, length);
}

SampleSeries::Outcome WaveformAnalyzer::take(AudioReader& reader, const RegularFile& file, std::int64_t wanted,
                                             std::int64_t limit) {
    m_Streamed = false;
    m_Ranges = 0;
    m_Series.release();
    if (m_StreamInto != nullptr) return streamAll(reader, file, wanted, limit);
    return m_Series.fill(reader, wanted, limit, m_Interrupted);
}

SampleSeries::Outcome WaveformAnalyzer::streamAll(AudioReader& reader, const RegularFile& file, std::int64_t wanted,
                                                  std::int64_t limit) {
    std::int64_t length = wanted;
    // A decoding that fails part-way is reported as the whole load would
    // report it: the paths that accept the frames delivered before the
    // failure take the series up to there.
    bool failed = false;
    if (length == AudioReader::kUnknownLength) {
        const std::int64_t most = limit > 0 ? std::min(limit, kMaxSeriesFrames) : kMaxSeriesFrames + 1;
        const SampleSeries::Outcome counted = count(reader, most, length);
        failed = counted == SampleSeries::Outcome::Failed;
        if (counted != SampleSeries::Outcome::Complete && !failed) return counted;
        if (!reopen(reader, file)) return SampleSeries::Outcome::Failed;
    }
    if (length > kMaxSeriesFrames) return SampleSeries::Outcome::TooLong;
    SampleSeries::Outcome outcome = SampleSeries::Outcome::Complete;
    std::int64_t delivered = 0;
    if (!stream(reader, file, length, outcome, delivered)) {
        // Far less than declared: the series ends where the delivery did.
        // Read again to that length; what is still missing then is silence.
        if (!reopen(reader, file)) return SampleSeries::Outcome::Failed;
        length = delivered;
        stream(reader, file, length, outcome, delivered);
    }
    m_Streamed = true;
    m_StreamedLength = length;
    return failed && outcome == SampleSeries::Outcome::Complete ? SampleSeries::Outcome::Failed : outcome;
}

bool WaveformAnalyzer::reopen(AudioReader& reader, const RegularFile& file) {
    reader.close();
    Refusal refusal;
    return reader.open(file, m_Interrupted, refusal);
}

// Complete, or Failed when the decoder failed part-way; `frames` holds what
// it delivered either way.
SampleSeries::Outcome WaveformAnalyzer::count(AudioReader& reader, std::int64_t limit, std::int64_t& frames) {
    frames = 0;
    try {
        std::vector<float> scratch(static_cast<std::size_t>(SampleSeries::kBlockFrames));
        while (frames < limit) {
            const std::int64_t got = reader.read(scratch.data(), std::min(SampleSeries::kBlockFrames, limit - frames));
            if (got < 0) return SampleSeries::Outcome::Failed;
            if (got == 0) break;
            frames += got;
            if (m_Interrupted && m_Interrupted()) return SampleSeries::Outcome::Interrupted;
        }
    } catch (const std::bad_alloc&) {
        return SampleSeries::Outcome::OutOfMemory;
    }
    return frames > kMaxSeriesFrames ? SampleSeries::Outcome::TooLong : SampleSeries::Outcome::Complete;
}

bool WaveformAnalyzer::stream(AudioReader& reader, const RegularFile& file, std::int64_t length,
                              SampleSeries::Outcome& outcome, std::int64_t& delivered) {
    WaveformSeries& out = *m_StreamInto;
    const std::size_t floats = waveform::blob_floats(waveform::points_for(length).q);
    delivered = length;
    try {
        out.waveform.assign(floats, 0.0f);
        out.intensity.assign(floats, 0.0f);
        if (streamInParallel(reader, file, length, outcome)) return true;
        m_Ranges = 1;
        out.waveform.assign(floats, 0.0f);
        out.intensity.assign(floats, 0.0f);
        StreamingAnalysis analysis(length, sample_rate, m_Colour.get(), out, StreamingAnalysis::whole(length), true);
        const StreamingAnalysis::Feed fed = analysis.feed(reader, length, m_Interrupted);
        if (fed == StreamingAnalysis::Feed::Stopped) {
            outcome = SampleSeries::Outcome::Interrupted;
            return true;
        }
        if (fed == StreamingAnalysis::Feed::Failed) outcome = SampleSeries::Outcome::Failed;
        delivered = analysis.begin() + analysis.received();
        if (length - delivered > SampleSeries::kMaxPaddingFrames) return false;
        analysis.padWithSilence();
    } catch (const std::bad_alloc&) {
        outcome = SampleSeries::Outcome::OutOfMemory;
    }
    return true;
}

// Ranges of the file decoded at the same time, each by a reader of its own,
// each feeding the pairs and points whose windows begin in it. Only a
// complete delivery counts: when a range cannot be read to its end, nothing
// of this attempt is kept and `reader`, untouched, reads the file in one go.
bool WaveformAnalyzer::streamInParallel(AudioReader& reader, const RegularFile& file, std::int64_t length,
                                        SampleSeries::Outcome& outcome) {
    const auto cores = static_cast<std::int64_t>(std::max(1u, std::thread::hardware_concurrency()));
    const std::int64_t parts = std::min(cores, length / kFramesPerRange);
    if (parts < 2) return false;
    struct Range {
        std::unique_ptr<StreamingAnalysis> analysis;
        std::unique_ptr<AudioReader> reader;
        std::int64_t until = 0;
        StreamingAnalysis::Feed fed = StreamingAnalysis::Feed::Failed;
    };
    std::vector<Range> ranges(static_cast<std::size_t>(parts));
    for (std::int64_t p = 0; p < parts; ++p) {
        Range& range = ranges[static_cast<std::size_t>(p)];
        const auto share = StreamingAnalysis::within(length, length * p / parts, length * (p + 1) / parts);
        range.analysis =
            std::make_unique<StreamingAnalysis>(length, sample_rate, m_Colour.get(), *m_StreamInto, share, false);
        // The last range reads to the declared end, so that a file shorter
        // than it says is noticed.
        range.until = p + 1 == parts ? length : range.analysis->end();
        range.reader = reader.readerAt(file, range.analysis->begin());
        if (!range.reader) return false;
    }
    std::atomic<bool> stop{false};
    const std::function<bool()> stopped = [&stop] { return stop.load(std::memory_order_relaxed); };
    auto decode = [&stop, &stopped](Range& range) {
        range.fed = range.analysis->feed(*range.reader, range.until, stopped);
        if (range.fed != StreamingAnalysis::Feed::Done) stop = true;
    };
    {
        std::vector<std::jthread> helpers;
        for (std::size_t p = 1; p < ranges.size(); ++p) {
            try {
                helpers.emplace_back(decode, std::ref(ranges[p]));
            } catch (const std::exception&) {
                decode(ranges[p]);
            }
        }
        // The first range on this thread, which alone asks whether to stop.
        Range& first = ranges.front();
        first.fed = first.analysis->feed(*first.reader, first.until, [&] {
            if (m_Interrupted && m_Interrupted()) stop = true;
            return stop.load(std::memory_order_relaxed);
        });
    }
    for (const Range& range : ranges) {
        if (range.fed == StreamingAnalysis::Feed::Stopped && m_Interrupted && m_Interrupted()) {
            outcome = SampleSeries::Outcome::Interrupted;
            return true;
        }
    }
    const bool complete = std::all_of(ranges.begin(), ranges.end(),
                                      [](const Range& range) { return range.fed == StreamingAnalysis::Feed::Done; });
    if (complete) {
        outcome = SampleSeries::Outcome::Complete;
        m_Ranges = static_cast<int>(parts);
    }
    return complete;
}

void WaveformAnalyzer::fitTo(std::int64_t length) {
    if (!m_Streamed) m_Series.fitTo(length);
}

// The library's rule: every channel summed, then halved, whatever the
// channel count. Frames it declares but does not deliver are silence.
bool WaveformAnalyzer::loadWithLibrary(const RegularFile& file, std::int64_t& length) {
    m_Decoder = m_Library->name();
    sample_rate = m_Library->sampleRate();
    const std::int64_t declared = lengthOrUnknown(m_Library->declaredFrames());
    const SampleSeries::Outcome outcome = take(*m_Library, file, declared, 0);
    m_Library->close();
    if (outcome == SampleSeries::Outcome::OutOfMemory || outcome == SampleSeries::Outcome::Interrupted ||
        outcome == SampleSeries::Outcome::TooLong) {
        if (outcome == SampleSeries::Outcome::TooLong) tooLong(file);
        return false;
    }
    if (declared != AudioReader::kUnknownLength) fitTo(declared);
    return finish(file, length);
}

// The own decoder: the first channel, or the mean of two.
bool WaveformAnalyzer::loadWithDecoder(const RegularFile& file, std::int64_t& length) {
    m_Decoder = m_OwnDecoder.name();
    Refusal refusal;
    const bool loaded = m_OwnDecoder.open(file, m_Interrupted, refusal);
    const char* path = file.path().c_str();
    Console::print("opening wav from: %s\nsuccessful: %d\n", path, loaded ? 1 : 0);
    sample_rate = m_OwnDecoder.sampleRate();
    const std::int64_t n = m_OwnDecoder.declaredFrames();
    file_length_in_samples = n;
    length = n;
    Console::print("opening wav from: %s\nsuccessful: %d\nsampleRate: %f\nfile_length_in_samples: %ld\n", path,
                   loaded ? 1 : 0, sample_rate, static_cast<long>(n));
    if (n == 0) {
        Console::print("samples not there?\n");
        unsupported_format = refusal.unsupportedFormat;
        return false;
    }
    const SampleSeries::Outcome outcome = take(m_OwnDecoder, file, n, 0);
    m_OwnDecoder.close();
    if (outcome == SampleSeries::Outcome::TooLong) tooLong(file);
    return outcome == SampleSeries::Outcome::Complete && finish(file, length);
}

// The platform's reader: the first channel, unmixed; the fractions decide how
// many frames are taken from the start of the file. When the file does not
// tell its length, it is decoded (up to the cap) and the fractions apply to
// what it held.
bool WaveformAnalyzer::loadWithPlatform(const RegularFile& file, float start, float fraction, std::int64_t& length) {
    m_Decoder = "platform";
    Refusal refusal{.reason = file.error()};
    if (!m_Platform || !file.isOpen() || !m_Platform->open(file, m_Interrupted, refusal)) {
        syslog(LOG_ERR, "Error when trying to open AVAudioFile: %s\n URL: %s",
               refusal.reason.empty() ? "no reader" : refusal.reason.c_str(), file.path().c_str());
        return false;
    }
    sample_rate = m_Platform->sampleRate();
    const std::int64_t declared = lengthOrUnknown(m_Platform->declaredFrames());
    std::int64_t n = declared == AudioReader::kUnknownLength ? AudioReader::kUnknownLength
                                                             : framesForFractions(declared, start, fraction);
    const SampleSeries::Outcome outcome = take(*m_Platform, file, n, max_file_length);
    m_Platform->close();
    if (outcome == SampleSeries::Outcome::TooLong) tooLong(file);
    if (outcome == SampleSeries::Outcome::OutOfMemory) {
        Console::print("path: %s\n", file.path().c_str());
        Console::print("length: %lld\n", static_cast<long long>(n));
        Console::print("not enough RAM to load sample in memory\n");
    }
    if (outcome != SampleSeries::Outcome::Complete) return false;
    if (n == AudioReader::kUnknownLength) n = framesForFractions(m_Series.size(), start, fraction);
    fitTo(n);
    return finish(file, length);
}

void WaveformAnalyzer::tooLong(const RegularFile& file) {
    Console::print("%s: longer than %lld frames, not analysed\n", file.path().c_str(),
                   static_cast<long long>(kMaxSeriesFrames));
}

bool WaveformAnalyzer::finish(const RegularFile& file, std::int64_t& length) {
    length = m_Streamed ? m_StreamedLength : m_Series.size();
    file_length_in_samples = length;
    m_Identity = file.identity();
    return true;
}

std::vector<float> WaveformAnalyzer::wave_series(const float* samples, std::int64_t length) const {
    try {
        return waveform::wave(samples, samples != nullptr ? length : 0);
    } catch (const std::exception&) {
        return {};
    }
}

std::vector<float> WaveformAnalyzer::intensity_series(const float* samples, std::int64_t length) const {
    try {
        if (!m_Colour) return std::vector<float>(waveform::blob_floats(waveform::points_for(length).q), 0.0f);
        return waveform::intensity(samples, samples != nullptr ? length : 0, sample_rate, *m_Colour);
    } catch (const std::exception&) {
        return {};
    }
}

void WaveformAnalyzer::append_series(osc::OutboundPacketStream& stream, const std::vector<float>& series,
                                     float duration) {
    static const float kNoPoints[4] = {};
    const bool empty = series.empty();
    const auto bytes = (empty ? sizeof kNoPoints : series.size() * sizeof(float));
    try {
        stream << osc::Blob(empty ? kNoPoints : series.data(), static_cast<osc::osc_bundle_element_size_t>(bytes))
               << duration;
    } catch (const std::exception& error) {
        Console::print("cannot encode a waveform series: %s\n", error.what());
    }
}

void WaveformAnalyzer::analyze_wave(const float* samples, std::int64_t length, osc::OutboundPacketStream& stream) {
    append_series(stream, wave_series(samples, length), waveform::duration(std::max<std::int64_t>(length, 0), sample_rate));
}

void WaveformAnalyzer::analyze_intensity(const float* samples, std::int64_t length,
                                         osc::OutboundPacketStream& stream) {
    append_series(stream, intensity_series(samples, length),
                  waveform::duration(std::max<std::int64_t>(length, 0), sample_rate));
}

#include "WaveformAnalyzer.h"

#include "Console.h"
#include "SeriesStreamer.h"
#include "SpectralColour.h"

#include <oscpack/osc/OscOutboundPacketStream.h>

#include <algorithm>
#include <bit>
#include <exception>

static_assert(std::endian::native == std::endian::little, "blobs carry little-endian floats as they lie in memory");

namespace {

// One series as a blob, then the duration; a series that could not be
// computed goes out as one empty point.
void appendSeries(osc::OutboundPacketStream& stream, const std::vector<float>& series, float duration) {
    static const float kNoPoints[4] = {};
    const bool empty = series.empty();
    const auto bytes = static_cast<osc::osc_bundle_element_size_t>(empty ? sizeof kNoPoints
                                                                         : series.size() * sizeof(float));
    try {
        stream << osc::Blob(empty ? kNoPoints : series.data(), bytes) << duration;
    } catch (const std::exception& error) {
        Console::print("cannot encode a waveform series: %s\n", error.what());
    }
}

}  // namespace

WaveformAnalyzer::WaveformAnalyzer(Parts parts)
    : m_Decoders(std::move(parts.sndfile), std::move(parts.ffmpeg)), m_Colour(std::move(parts.colour)) {}

WaveformAnalyzer::~WaveformAnalyzer() = default;

template <class Load>
bool WaveformAnalyzer::guarded(const char* path, Load load) {
    if (path == nullptr) return false;
    try {
        return load(RegularFile::open(path));
    } catch (const std::exception& error) {
        Console::print("cannot load %s: %s\n", path, error.what());
    } catch (...) {
        Console::print("cannot load %s\n", path);
    }
    return false;
}

bool WaveformAnalyzer::accepted(const LoadPlan& plan, SampleSeries::Outcome outcome, const RegularFile& file) {
    switch (outcome) {
        case SampleSeries::Outcome::Complete:
            return true;
        case SampleSeries::Outcome::Failed:
            return plan.keepsPartial;
        case SampleSeries::Outcome::TooLong:
            Console::print("%s: longer than %lld frames, not analysed\n", file.path().c_str(),
                           static_cast<long long>(kMaxSeriesFrames));
            return false;
        case SampleSeries::Outcome::OutOfMemory:
            if (plan.decoder == waveform::Decoder::Ffmpeg) {
                Console::print("path: %s\n", file.path().c_str());
                Console::print("length: %lld\n", static_cast<long long>(plan.frames));
                Console::print("not enough RAM to load sample in memory\n");
            }
            return false;
        case SampleSeries::Outcome::Interrupted:
            return false;
    }
    return false;
}

WaveformAnalysis WaveformAnalyzer::analyze_file(const char* path, float start_in_percent, float length_in_percent) {
    WaveformAnalysis analysis;
    guarded(path, [&](const RegularFile& file) {
        const LoadPlan plan = m_Decoders.open(file, start_in_percent, length_in_percent, m_Interrupted);
        analysis.decoder = plan.decoder;
        analysis.sampleRate = plan.sampleRate;
        analysis.unsupportedFormat = plan.unsupportedFormat;
        if (plan.reader == nullptr) return false;
        SeriesStreamer::Result streamed = SeriesStreamer(m_Colour.get(), m_Interrupted).stream(plan, file);
        plan.reader->close();
        if (!accepted(plan, streamed.outcome, file)) return false;
        analysis.series = std::move(streamed.series);
        analysis.identity = file.identity();
        analysis.ranges = streamed.ranges;
        return true;
    });
    return analysis;
}

float* WaveformAnalyzer::load_file(const char* path, std::int64_t* length, float start_in_percent,
                                   float length_in_percent) {
    unsupported_format.clear();
    m_Decoder = waveform::Decoder::None;
    if (length == nullptr) return nullptr;
    const bool loaded = guarded(path, [&](const RegularFile& file) {
        return loadWhole(file, start_in_percent, length_in_percent);
    });
    if (!loaded) {
        m_Series.release();
        return nullptr;
    }
    *length = m_Series.size();
    file_length_in_samples = *length;
    return m_Series.data();
}

// The whole series, cut or padded (within the bound) to the frames the plan
// takes: for a length the file did not tell, those of what it held.
bool WaveformAnalyzer::loadWhole(const RegularFile& file, float start, float fraction) {
    m_Series.release();
    const LoadPlan plan = m_Decoders.open(file, start, fraction, m_Interrupted);
    m_Decoder = plan.decoder;
    sample_rate = plan.sampleRate;
    unsupported_format = plan.unsupportedFormat;
    if (plan.reader == nullptr) return false;
    const SampleSeries::Outcome outcome = m_Series.fill(*plan.reader, plan.frames, plan.limit, m_Interrupted);
    plan.reader->close();
    if (!accepted(plan, outcome, file)) return false;
    const bool counted = plan.frames == AudioReader::kUnknownLength;
    m_Series.fitTo(counted ? plan.framesOfCount(m_Series.size()) : plan.frames);
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

void WaveformAnalyzer::analyze_wave(const float* samples, std::int64_t length, osc::OutboundPacketStream& stream) {
    appendSeries(stream, wave_series(samples, length), waveform::duration(std::max<std::int64_t>(length, 0), sample_rate));
}

void WaveformAnalyzer::analyze_intensity(const float* samples, std::int64_t length,
                                         osc::OutboundPacketStream& stream) {
    appendSeries(stream, intensity_series(samples, length),
                 waveform::duration(std::max<std::int64_t>(length, 0), sample_rate));
}

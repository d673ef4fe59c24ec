#pragma once

#include "DecoderChoice.h"
#include "RegularFile.h"
#include "SampleSeries.h"
#include "WaveformSeries.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace osc {
class OutboundPacketStream;
}
class SpectralColour;

// What analysing one file gave: both series, or why there are none.
struct WaveformAnalysis {
    std::optional<WaveformSeries> series;  // none: nothing to analyse
    std::string unsupportedFormat;         // a refused compression type, or empty
    waveform::Decoder decoder = waveform::Decoder::None;
    double sampleRate = 0;
    FileIdentity identity;                 // the file as it was when opened
    int ranges = 0;                        // decoded at the same time (1: in one go)
};

// Turns an audio file into the two series the tablets draw: a waveform (pairs
// of extreme sample values) and an intensity (one spectral value per point),
// at most 30000 points each. Only regular local files are read; nothing is
// thrown, every failure is an empty result.
//
// The pieces: DecoderChoice picks the decoder and what it takes, drain()
// takes the samples into a sink, SeriesStreamer computes both series as they
// arrive (what the server does, analyze_file), SampleSeries holds the whole
// series (load_file, the analyses' other entry points).
class WaveformAnalyzer {
public:
    static constexpr std::int64_t kMaxPoints = waveform::kMaxPoints;
    static constexpr int kFrameSize = waveform::kFrameSize;
    static constexpr std::int64_t max_file_length = waveform::kFfmpegFrameCap;
    static constexpr std::int64_t kMaxSeriesFrames = waveform::kMaxSeriesFrames;

    // The platform's pieces. The readers may be null (no such decoder); the
    // colour is needed for the intensity series.
    struct Parts {
        std::unique_ptr<AudioReader> sndfile;
        std::unique_ptr<AudioReader> ffmpeg;
        std::unique_ptr<SpectralColour> colour;
    };

    explicit WaveformAnalyzer(Parts parts);
    ~WaveformAnalyzer();
    WaveformAnalyzer(const WaveformAnalyzer&) = delete;
    WaveformAnalyzer& operator=(const WaveformAnalyzer&) = delete;

    // Asked while a file is decoded; true abandons the load.
    void set_interrupt(Interrupt interrupted) { m_Interrupted = std::move(interrupted); }

    // Loads the file and computes both series while it is decoded, never
    // holding the whole mono series: the numbers of load_file followed by the
    // two analyses, and no series where load_file gives null. The fractions
    // apply to FFmpeg only.
    WaveformAnalysis analyze_file(const char* path, float start_in_percent, float length_in_percent);

    // Decodes the file into one mono series, owned by the analyzer until the
    // next load; null when there is nothing to analyse (an empty series is
    // not null). `length` receives the series' sample count. Sets the fields
    // below.
    float* load_file(const char* path, std::int64_t* length, float start_in_percent, float length_in_percent);

    // Append a blob (little-endian floats) and the duration in seconds.
    void analyze_wave(const float* samples, std::int64_t length, osc::OutboundPacketStream& stream);
    void analyze_intensity(const float* samples, std::int64_t length, osc::OutboundPacketStream& stream);

    // The same series as plain vectors, at the sample rate of the last
    // load_file. Empty when memory is short.
    std::vector<float> wave_series(const float* samples, std::int64_t length) const;
    std::vector<float> intensity_series(const float* samples, std::int64_t length) const;

    // Of the last load_file.
    std::string unsupported_format;
    double sample_rate = 44100.0;
    std::int64_t file_length_in_samples = 0;
    waveform::Decoder decoder() const { return m_Decoder; }

    using Points = waveform::Points;
    static Points pointsFor(std::int64_t length) { return waveform::points_for(length); }
    static std::size_t blobBytes(std::int64_t q) { return waveform::blob_floats(q) * sizeof(float); }

private:
    // Runs `load` on the open file, guarding against anything thrown.
    template <class Load>
    bool guarded(const char* path, Load load);
    bool loadWhole(const RegularFile& file, float start, float fraction);
    // Whether a load that ended so is taken; reports the refusals that have lines.
    static bool accepted(const LoadPlan& plan, SampleSeries::Outcome outcome, const RegularFile& file);

    DecoderChoice m_Decoders;
    std::unique_ptr<SpectralColour> m_Colour;
    Interrupt m_Interrupted;
    SampleSeries m_Series;
    waveform::Decoder m_Decoder = waveform::Decoder::None;
};

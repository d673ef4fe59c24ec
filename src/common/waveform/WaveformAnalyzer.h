#pragma once

#include "AudioFileReader.h"
#include "AudioReader.h"
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
class BandColour;

// Turns an audio file into the two series the tablets draw: a waveform (pairs
// of extreme sample values) and an intensity (one spectral value per point),
// at most 30000 points each, appended with the audio's duration to an OSC
// message being built.
//
// Loading tries the general audio-file library first; a file it does not
// take goes, by the end of its name, to the own WAV/AIFF decoder (".wav",
// ".aif", ".aiff") or to the platform's reader. Only regular local files are
// read. Nothing is thrown: every failure is a null series.
class WaveformAnalyzer {
public:
    static constexpr std::int64_t kMaxPoints = waveform::kMaxPoints;
    static constexpr int kFrameSize = waveform::kFrameSize;
    // Cap, in frames, of what one load through the platform's reader takes
    // (about 460 MB of float samples).
    static constexpr std::int64_t max_file_length = 114988604;
    // The longest series analysed, whatever the decoder (about 13.5 hours at
    // 44.1 kHz): a file that holds or declares more is refused, so that no
    // file can make a request decode for ever.
    static constexpr std::int64_t kMaxSeriesFrames = std::int64_t{1} << 31;

    // The platform's pieces. The readers may be null (no such decoder); the
    // colour is needed for the intensity series.
    struct Parts {
        std::unique_ptr<AudioReader> library;
        std::unique_ptr<AudioReader> platform;
        std::unique_ptr<BandColour> colour;
    };

    explicit WaveformAnalyzer(Parts parts);
    ~WaveformAnalyzer();
    WaveformAnalyzer(const WaveformAnalyzer&) = delete;
    WaveformAnalyzer& operator=(const WaveformAnalyzer&) = delete;

    // Asked while a file is decoded; true abandons the load (null result).
    void set_interrupt(Interrupt interrupted) { m_Interrupted = std::move(interrupted); }

    // Decodes the file into one mono series, owned by the analyzer until the
    // next load; null when there is nothing to analyse. An empty series is not
    // null. `length` receives the series' sample count. The fractions apply
    // to the platform reader only.
    float* load_file(const char* path, std::int64_t* length, float start_in_percent, float length_in_percent);

    // Loads the file and computes both series: the same numbers as load_file
    // followed by wave_series and intensity_series, and nothing when
    // load_file would give null. The series are computed block by block as
    // the file is decoded and the whole mono series is never held: a length
    // the file does not declare is counted first, in a pass that keeps no
    // sample, and a file that delivers far less than it declared is read
    // again to the length it delivered.
    std::optional<WaveformSeries> analyze_file(const char* path, float start_in_percent, float length_in_percent);
    // Whether the last analyze_file computed the series as the file was
    // decoded, and in how many ranges decoded at the same time (1 when in
    // one go).
    bool streamed() const { return m_Streamed; }
    int ranges() const { return m_Ranges; }

    // Append a blob (little-endian floats) and the duration in seconds.
    void analyze_wave(const float* samples, std::int64_t length, osc::OutboundPacketStream& stream);
    void analyze_intensity(const float* samples, std::int64_t length, osc::OutboundPacketStream& stream);

    // The same series as plain vectors (what the two analyses append), at
    // the sample rate of the last load. Empty when memory is short.
    std::vector<float> wave_series(const float* samples, std::int64_t length) const;
    std::vector<float> intensity_series(const float* samples, std::int64_t length) const;

    // Appends one series as a blob, then the duration: the encoding of both
    // analyses. Never throws; a stream without room is left as it was.
    static void append_series(osc::OutboundPacketStream& stream, const std::vector<float>& series, float duration);

    // Which decoder the last load used: "library", "decoder", "platform" or "".
    const std::string& decoder() const { return m_Decoder; }
    // The file the last successful load read, as it was when opened.
    const FileIdentity& file_identity() const { return m_Identity; }

    // The four characters of a refused compression type, or empty.
    std::string unsupported_format;
    double sample_rate = 44100.0;
    std::int64_t file_length_in_samples = 0;

    using Points = waveform::Points;
    static Points pointsFor(std::int64_t length) { return waveform::points_for(length); }
    static std::size_t blobBytes(std::int64_t q) { return waveform::blob_floats(q) * sizeof(float); }

private:
    bool loadGuarded(const char* path, std::int64_t& length, float start, float fraction);
    bool load(const std::string& path, std::int64_t& length, float start, float fraction);
    bool loadWithLibrary(const RegularFile& file, std::int64_t& length);
    bool loadWithDecoder(const RegularFile& file, std::int64_t& length);
    bool loadWithPlatform(const RegularFile& file, float start, float fraction, std::int64_t& length);
    // Takes `wanted` frames (or all when unknown, at most `limit` when
    // positive) from the open reader: into the analyses as they arrive when
    // a series is asked for (m_StreamInto), else into m_Series.
    SampleSeries::Outcome take(AudioReader& reader, const RegularFile& file, std::int64_t wanted, std::int64_t limit);
    SampleSeries::Outcome streamAll(AudioReader& reader, const RegularFile& file, std::int64_t wanted,
                                    std::int64_t limit);
    // Frames the open reader delivers, up to `limit`, keeping none.
    SampleSeries::Outcome count(AudioReader& reader, std::int64_t limit, std::int64_t& frames);
    // Closes the reader and opens the file again, from its start.
    bool reopen(AudioReader& reader, const RegularFile& file);
    // Streams `length` frames through the analyses into m_StreamInto; false
    // when the reader delivered so much less (`delivered`) that the
    // whole-series rule (the series ends where the delivery did) applies.
    bool stream(AudioReader& reader, const RegularFile& file, std::int64_t length, SampleSeries::Outcome& outcome,
                std::int64_t& delivered);
    // The same, with ranges of the file decoded on several cores when the
    // reader can read a file from any frame; false when it cannot, or when
    // the file did not deliver every range whole.
    bool streamInParallel(AudioReader& reader, const RegularFile& file, std::int64_t length,
                          SampleSeries::Outcome& outcome);
    // Fewest frames worth a range of their own.
    static constexpr std::int64_t kFramesPerRange = std::int64_t{1} << 20;
    // Cuts or pads the loaded series to `length` frames where the rule of a
    // path asks for it; a streamed load already has its length.
    void fitTo(std::int64_t length);
    bool finish(const RegularFile& file, std::int64_t& length);
    static void tooLong(const RegularFile& file);

    std::unique_ptr<AudioReader> m_Library;
    AudioFileReader m_OwnDecoder;
    std::unique_ptr<AudioReader> m_Platform;
    std::unique_ptr<BandColour> m_Colour;
    Interrupt m_Interrupted;
    SampleSeries m_Series;
    WaveformSeries* m_StreamInto = nullptr;  // where analyze_file wants the series
    bool m_Streamed = false;
    int m_Ranges = 0;
    std::int64_t m_StreamedLength = 0;
    std::string m_Decoder;
    FileIdentity m_Identity;
};

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace osc {
class OutboundPacketStream;
}
class FFT;
class PlatformAudioReader;

// Turns an audio file into the two series the tablets draw: a waveform (pairs
// of extreme sample values) and an intensity (one spectral value per point),
// at most 30000 points each, appended with the audio's duration to an OSC
// message being built.
class WaveformAnalyzer {
public:
    static constexpr std::int64_t kMaxPoints = 30000;
    static constexpr int kFrameSize = 512;  // samples per intensity spectrum

    WaveformAnalyzer();
    ~WaveformAnalyzer();
    WaveformAnalyzer(const WaveformAnalyzer&) = delete;
    WaveformAnalyzer& operator=(const WaveformAnalyzer&) = delete;

    // Decodes the file into one mono series, owned by the analyzer until the
    // next load; null when there is nothing to analyse. `length` receives the
    // series' sample count. The fractions apply to the platform reader only.
    float* load_file(const char* path, std::int64_t* length, float start_in_percent, float length_in_percent);

    // Append a blob (little-endian floats) and the duration in seconds.
    void analyze_wave(const float* samples, std::int64_t length, osc::OutboundPacketStream& stream);
    void analyze_intensity(const float* samples, std::int64_t length, osc::OutboundPacketStream& stream);

    // Which decoder the last load used: "library", "decoder", "platform" or "".
    const std::string& decoder() const { return m_Decoder; }

    // The four characters of a refused compression type, or empty.
    std::string unsupported_format;
    double sample_rate = 44100.0;
    std::int64_t file_length_in_samples = 0;

    struct Points {
        std::int64_t k;  // samples per point
        std::int64_t q;  // number of points
    };
    static Points pointsFor(std::int64_t length);
    static std::size_t blobBytes(std::int64_t q) { return 16 * (static_cast<std::size_t>(q) / 4 + 1); }

private:
    float* loadWithLibrary(const char* path, std::int64_t* length, bool& opened);
    float* loadWithDecoder(const char* path, std::int64_t* length);
    float* loadWithPlatform(const char* path, float start, float fraction, std::int64_t* length);
    void appendBlobAndDuration(const std::vector<float>& buffer, std::int64_t q, std::int64_t length,
                               osc::OutboundPacketStream& stream) const;

    std::vector<float> m_MonoSamples;      // the library's and the decoder's series
    std::vector<float> m_PlatformSamples;  // the platform reader's first channel
    std::unique_ptr<PlatformAudioReader> m_PlatformFile;
    std::vector<float> m_WaveformBuffer;
    std::vector<float> m_IntensityBuffer;
    std::unique_ptr<FFT> m_Fft;
    std::string m_Decoder;
};

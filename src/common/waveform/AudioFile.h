#pragma once

// Decoder for uncompressed WAV, AIFF and AIFF-C files. The waveform analyzer
// falls back on it for ".wav", ".aif" and ".aiff" files that the general
// audio-file library cannot open. A file is decoded into one vector of
// samples per channel, scaled to -1 ... +1; the file itself is read in
// pieces: its header first, then, only once the header is found sound, its
// samples. So a file that is not audio (a sparse gigabyte of zeros, say) is
// refused after reading a few bytes, and its bytes are never held whole.
//
// Every refusal prints one diagnostic line (two for an unknown AIFF-C
// compression type) to standard output and makes load() return false.
// Nothing is ever read outside the file's bytes: a header whose fields or
// sizes point past the end of the file is refused as not valid. Only regular
// files are read (never a FIFO or a device), and a file too large for memory
// is refused like any other; nothing is thrown to the caller.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

class RegularFile;

enum class AudioFileFormat : int32_t {
    Error = 0,     // the file begins with neither "RIFF" nor "FORM"
    Unloaded = 1,  // nothing loaded yet
    Wave = 2,
    Aiff = 3,      // AIFF and AIFF-C alike
};

// The AIFF sample rates we accept, each with its COMM encoding: the rate as a
// big-endian IEEE 754 80-bit extended number. Built once during static
// initialisation and only read afterwards.
extern const std::map<uint32_t, std::vector<uint8_t>> aiffSampleRateTable;

class AudioFile {
public:
    // Where a file's samples lie and how each one is stored: all that
    // decoding needs once the header has been checked.
    struct SampleLayout {
        std::size_t start = 0;  // byte of the first sample
        int bytesPerSample = 2;
        uint16_t channels = 1;
        bool littleEndian = true;
        bool unsigned8Bit = false;  // WAV stores 8-bit samples offset by 128
        uint32_t frames = 0;
        int frameBytes() const { return bytesPerSample * channels; }
    };

    AudioFile() : channelSamples(1) {}

    // Reads the file at filePath (or the open file) and decodes it; true on
    // success. On failure channelSamples keeps what it held, while the header
    // fields may already hold values taken from the refused file.
    bool load(const std::string& filePath);
    bool load(const RegularFile& file);
    // Checks the open file's header exactly as load() does (the same
    // messages, the same header fields set), reading the header alone: the
    // layout of its samples, or nothing when load() would refuse the file.
    std::optional<SampleLayout> inspect(const RegularFile& file);
    // The sample whose bytes start at `bytes`, scaled to -1 ... +1.
    static float sampleAt(const uint8_t* bytes, const SampleLayout& layout);

    uint32_t getSampleRate() const { return sampleRate; }
    int getNumChannels() const { return static_cast<int>(channelSamples.size()); }
    int getBitDepth() const { return bitDepth; }
    int getNumSamplesPerChannel() const {
        return channelSamples.empty() ? 0 : static_cast<int>(channelSamples[0].size());
    }

    // Position of the first occurrence of text in source, or -1. Chunks are
    // located with this search rather than by walking the chunk headers.
    // Positions that an int cannot hold are not searched.
    static int getIndexOfString(const std::vector<uint8_t>& source, const std::string& text);

    // Uncompressed little-endian integer PCM, mono or stereo, 8/16/24 bits.
    bool decodeWaveFile(const std::vector<uint8_t>& fileData);
    // Big-endian integer PCM (AIFF, AIFF-C "none") or little-endian (AIFF-C
    // "sowt"), mono or stereo, 8/16/24 bits, at one of the table's rates.
    bool decodeAiffFile(const std::vector<uint8_t>& fileData);

    bool littleEndianSamples = false;                // AIFF-C "sowt": samples least significant byte first
    std::string unsupportedFormatId;                 // compression type of a refused AIFF-C file
    std::vector<std::vector<float>> channelSamples;  // one vector per channel, index 0 first
    AudioFileFormat fileFormat = AudioFileFormat::Unloaded;
    uint32_t sampleRate = 44100;
    int32_t bitDepth = 16;

private:
    // The file's bytes, in memory or read from the open file where asked.
    class Bytes;

    std::optional<SampleLayout> inspect(const Bytes& bytes);
    std::optional<SampleLayout> inspectWave(const Bytes& bytes);
    std::optional<SampleLayout> inspectAiff(const Bytes& bytes);
    bool acceptCompressionType(const uint8_t* type);
    bool decodeFrames(const Bytes& bytes, const SampleLayout& layout);
};

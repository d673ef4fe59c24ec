#pragma once

// Decoder for uncompressed WAV, AIFF and AIFF-C files. The waveform analyzer
// falls back on it for ".wav", ".aif" and ".aiff" files that the general
// audio-file library cannot open. The whole file is read into memory and
// decoded into one vector of samples per channel, scaled to -1 ... +1.
//
// Every refusal prints one diagnostic line (two for an unknown AIFF-C
// compression type) to standard output and makes load() return false.
// Nothing is ever read outside the file's bytes: a header whose fields or
// sizes point past the end of the file is refused as not valid.

#include "Console.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

enum class AudioFileFormat : int32_t {
    Error = 0,     // the file begins with neither "RIFF" nor "FORM"
    Unloaded = 1,  // nothing loaded yet
    Wave = 2,
    Aiff = 3,      // AIFF and AIFF-C alike
};

namespace audio_file_detail {

// A whole sample rate as the big-endian IEEE 754 80-bit extended number an
// AIFF COMM chunk stores: sign and 15-bit exponent (bias 16383), then the
// 64-bit significand with its explicit integer bit.
inline std::vector<uint8_t> encodeExtendedRate(uint32_t rate) {
    const int exponent = std::bit_width(rate) - 1;
    const uint32_t biased = 16383u + static_cast<uint32_t>(exponent);
    const uint64_t significand = static_cast<uint64_t>(rate) << (63 - exponent);
    std::vector<uint8_t> bytes{static_cast<uint8_t>(biased >> 8), static_cast<uint8_t>(biased & 0xFF)};
    for (int shift = 56; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(significand >> shift));
    return bytes;
}

inline std::map<uint32_t, std::vector<uint8_t>> buildAiffSampleRateTable() {
    static constexpr uint32_t kRates[] = {8000,   11025,  16000,  22050,  32000,  37800,  44056,
                                          44100,  47250,  48000,  50000,  50400,  88200,  96000,
                                          176400, 192000, 352800, 2822400, 5644800};
    std::map<uint32_t, std::vector<uint8_t>> table;
    for (const uint32_t rate : kRates) table.emplace(rate, encodeExtendedRate(rate));
    return table;
}

}  // namespace audio_file_detail

// The AIFF sample rates we accept, each with its 80-bit COMM encoding.
// Built once during static initialisation and only read afterwards.
inline const std::map<uint32_t, std::vector<uint8_t>> aiffSampleRateTable =
    audio_file_detail::buildAiffSampleRateTable();

template <class T>
class AudioFile {
    static_assert(std::is_floating_point_v<T>, "AudioFile decodes into floating-point samples");

public:
    AudioFile() : channelSamples(1) {}


    // Reads the file at filePath and decodes it; true on success. On failure
    // channelSamples keeps what it held, while the header fields may already
    // hold values taken from the refused file.
    bool load(const std::string& filePath) {
        std::vector<uint8_t> fileData;
        if (!readFileBytes(filePath, fileData)) {
            report("ERROR: File doesn't exist or otherwise can't load file");
            report(filePath);
            return false;
        }
        fileFormat = determineFormat(fileData);
        switch (fileFormat) {
            case AudioFileFormat::Wave: return decodeWaveFile(fileData);
            case AudioFileFormat::Aiff: return decodeAiffFile(fileData);
            default: report("Audio File Type: Error"); return false;
        }
    }

    uint32_t getSampleRate() const { return sampleRate; }
    int getNumChannels() const { return static_cast<int>(channelSamples.size()); }
    int getBitDepth() const { return bitDepth; }
    int getNumSamplesPerChannel() const {
        return channelSamples.empty() ? 0 : static_cast<int>(channelSamples[0].size());
    }

    // Position of the first occurrence of text in source, or -1. Chunks are
    // located with this search rather than by walking the chunk headers.
    // Positions that an int cannot hold are not searched.
    static int getIndexOfString(const std::vector<uint8_t>& source, const std::string& text) {
        if (text.size() > source.size()) return -1;
        const std::size_t lastStart = std::min<std::size_t>(source.size() - text.size(), INT_MAX);
        for (std::size_t pos = 0; pos <= lastStart; ++pos) {
            if (hasText(source, pos, text)) return static_cast<int>(pos);
        }
        return -1;
    }

    // Uncompressed little-endian integer PCM, mono or stereo, 8/16/24 bits.
    bool decodeWaveFile(const std::vector<uint8_t>& fileData) {
        const int d = getIndexOfString(fileData, "data");
        const int f = getIndexOfString(fileData, "fmt");
        if (d == -1 || f == -1 || !hasText(fileData, 0, "RIFF") || !hasText(fileData, 8, "WAVE") ||
            !fits(fileData, f, 24) || !fits(fileData, d, 8)) {
            report(kInvalidWave);
            return false;
        }
        const std::size_t fmt = static_cast<std::size_t>(f);
        const uint16_t audioFormat = readLE16(fileData, fmt + 8);
        const uint16_t channels = readLE16(fileData, fmt + 10);
        sampleRate = readLE32(fileData, fmt + 12);
        const uint32_t bytesPerSecond = readLE32(fileData, fmt + 16);
        const int16_t blockSize = static_cast<int16_t>(readLE16(fileData, fmt + 20));
        const int16_t bits = static_cast<int16_t>(readLE16(fileData, fmt + 22));
        bitDepth = bits;

        if (audioFormat != 1) {
            report("ERROR: this is a compressed .WAV file and this library does not support decoding them at present");
            return false;
        }
        if (channels != 1 && channels != 2) {
            report("ERROR: this WAV file seems to be neither mono nor stereo (perhaps multi-track, or corrupted?)");
            return false;
        }
        const uint32_t expectedBytesPerSecond = (sampleRate * channels * static_cast<uint32_t>(bits)) / 8u;
        if (bytesPerSecond != expectedBytesPerSecond || blockSize != channels * (bits / 8)) {
            report("ERROR: the header data in this WAV file seems to be inconsistent");
            return false;
        }
        if (!isSupportedBitDepth(static_cast<uint16_t>(bits))) {
            report(kBadBitDepth);
            return false;
        }
        // The data size is unsigned: a size the file does not hold is refused
        // rather than read past the end.
        const std::size_t dataStart = static_cast<std::size_t>(d) + 8;
        const uint32_t dataSize = readLE32(fileData, static_cast<std::size_t>(d) + 4);
        if (dataSize > fileData.size() - dataStart) {
            report(kInvalidWave);
            return false;
        }
        const SampleLayout layout{.start = dataStart,
                                  .bytesPerSample = bits / 8,
                                  .channels = channels,
                                  .littleEndian = true,
                                  .unsigned8Bit = true};
        decodeFrames(fileData, layout, dataSize / static_cast<uint32_t>(layout.frameBytes()));
        return true;
    }

    // Big-endian integer PCM (AIFF, AIFF-C "none") or little-endian (AIFF-C
    // "sowt"), mono or stereo, 8/16/24 bits, at one of the table's rates.
    bool decodeAiffFile(const std::vector<uint8_t>& fileData) {
        const int p = getIndexOfString(fileData, "COMM");
        const int s = getIndexOfString(fileData, "SSND");
        const bool isAifc = hasText(fileData, 8, "AIFC");
        // The COMM fields end after the sample rate (AIFF) or after the
        // compression type (AIFF-C); the SSND header is 16 bytes.
        if (p == -1 || s == -1 || !hasText(fileData, 0, "FORM") || !(isAifc || hasText(fileData, 8, "AIFF")) ||
            !fits(fileData, p, isAifc ? 30 : 26) || !fits(fileData, s, 16)) {
            report(kInvalidAiff);
            return false;
        }
        const std::size_t comm = static_cast<std::size_t>(p);
        const std::size_t ssnd = static_cast<std::size_t>(s);
        const uint16_t channels = readBE16(fileData, comm + 8);
        const uint32_t frames = readBE32(fileData, comm + 10);
        const int16_t bits = static_cast<int16_t>(readBE16(fileData, comm + 14));
        bitDepth = bits;
        sampleRate = lookUpAiffSampleRate(fileData, comm + 16);
        littleEndianSamples = false;

        if (isAifc && !acceptCompressionType(fileData, comm + 26)) return false;
        if (sampleRate == kUnknownRate) {
            report("ERROR: this AIFF file has an unsupported sample rate");
            return false;
        }
        if (channels != 1 && channels != 2) {
            report("ERROR: this AIFF file seems to be neither mono nor stereo (perhaps multi-track, or corrupted?)");
            return false;
        }
        if (!isSupportedBitDepth(bits)) {
            report(kBadBitDepth);
            return false;
        }
        SampleLayout layout{.start = 0,
                            .bytesPerSample = bits / 8,
                            .channels = channels,
                            .littleEndian = littleEndianSamples,
                            .unsigned8Bit = false};
        if (!locateSoundData(fileData, ssnd, static_cast<uint64_t>(layout.frameBytes()) * frames, layout.start)) {
            return false;
        }
        decodeFrames(fileData, layout, frames);
        return true;
    }

    bool littleEndianSamples = false;        // AIFF-C "sowt": samples least significant byte first
    std::string unsupportedFormatId;         // compression type of a refused AIFF-C file
    std::vector<std::vector<T>> channelSamples;  // one vector per channel, index 0 first
    AudioFileFormat fileFormat = AudioFileFormat::Unloaded;
    uint32_t sampleRate = 44100;
    int32_t bitDepth = 16;

private:
    static constexpr uint32_t kUnknownRate = 0xFFFFFFFF;
    static constexpr const char* kInvalidWave = "ERROR: this doesn't seem to be a valid .WAV file";
    static constexpr const char* kInvalidAiff = "ERROR: this doesn't seem to be a valid AIFF file";
    static constexpr const char* kBadBitDepth = "ERROR: this file has a bit depth that is not 8, 16 or 24 bits";
    // Scale factors 2^-7, 2^-15 and 2^-23, applied in single precision.
    static constexpr float k8BitScale = 0.0078125f;
    static constexpr float k16BitScale = 3.0517578125e-05f;
    static constexpr float k24BitScale = 1.1920928955078125e-07f;

    // Where the interleaved samples start and how each one is stored.
    struct SampleLayout {
        std::size_t start;
        int bytesPerSample;
        uint16_t channels;
        bool littleEndian;
        bool unsigned8Bit;  // WAV stores 8-bit samples offset by 128
        int frameBytes() const { return bytesPerSample * channels; }
    };

    static void report(const std::string& line) { Console::write(line + "\n"); }

    static bool readFileBytes(const std::string& filePath, std::vector<uint8_t>& fileData) {
        std::error_code ignored;
        if (std::filesystem::is_directory(filePath, ignored)) return false;
        std::ifstream in(filePath, std::ios::binary);
        if (!in) return false;
        fileData.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return !in.bad();
    }

    static AudioFileFormat determineFormat(const std::vector<uint8_t>& fileData) {
        if (hasText(fileData, 0, "RIFF")) return AudioFileFormat::Wave;
        if (hasText(fileData, 0, "FORM")) return AudioFileFormat::Aiff;
        return AudioFileFormat::Error;
    }

    static bool hasText(const std::vector<uint8_t>& bytes, std::size_t pos, const std::string& text) {
        if (pos > bytes.size() || text.size() > bytes.size() - pos) return false;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (bytes[pos + i] != static_cast<uint8_t>(text[i])) return false;
        }
        return true;
    }

    // True when length bytes starting at pos lie inside the file.
    static bool fits(const std::vector<uint8_t>& bytes, int pos, std::size_t length) {
        return pos >= 0 && static_cast<std::size_t>(pos) <= bytes.size() &&
               length <= bytes.size() - static_cast<std::size_t>(pos);
    }

    static bool isSupportedBitDepth(int bits) { return bits == 8 || bits == 16 || bits == 24; }

    static uint16_t readLE16(const std::vector<uint8_t>& b, std::size_t pos) {
        return static_cast<uint16_t>(b[pos] | (b[pos + 1] << 8));
    }
    static uint32_t readLE32(const std::vector<uint8_t>& b, std::size_t pos) {
        return static_cast<uint32_t>(readLE16(b, pos)) | (static_cast<uint32_t>(readLE16(b, pos + 2)) << 16);
    }
    static uint16_t readBE16(const std::vector<uint8_t>& b, std::size_t pos) {
        return static_cast<uint16_t>((b[pos] << 8) | b[pos + 1]);
    }
    static uint32_t readBE32(const std::vector<uint8_t>& b, std::size_t pos) {
        return (static_cast<uint32_t>(readBE16(b, pos)) << 16) | readBE16(b, pos + 2);
    }

    // The table rate whose 80-bit encoding matches the 10 bytes at pos.
    static uint32_t lookUpAiffSampleRate(const std::vector<uint8_t>& fileData, std::size_t pos) {
        const auto first = fileData.begin() + static_cast<std::ptrdiff_t>(pos);
        for (const auto& [rate, encoded] : aiffSampleRateTable) {
            if (std::equal(encoded.begin(), encoded.end(), first)) return rate;
        }
        return kUnknownRate;
    }

    // "sowt" switches to little-endian samples, "none" keeps big-endian;
    // any other compression type is refused and remembered for the caller.
    bool acceptCompressionType(const std::vector<uint8_t>& fileData, std::size_t pos) {
        const auto first = fileData.begin() + static_cast<std::ptrdiff_t>(pos);
        const std::string type(first, first + 4);
        if (type == "sowt") {
            littleEndianSamples = true;
        } else if (type != "none") {
            Console::write("well shit.\nformat_ID: " + type + "\n");
            unsupportedFormatId = type;
            return false;
        }
        return true;
    }

    // Checks the SSND header against the expected number of sample bytes and
    // sets sampleStart. The arithmetic is 64-bit so that a huge frame count
    // cannot wrap around to a size that looks consistent.
    static bool locateSoundData(const std::vector<uint8_t>& fileData, std::size_t ssnd, uint64_t totalBytes,
                                std::size_t& sampleStart) {
        const uint64_t start = static_cast<uint64_t>(ssnd) + 16 + readBE32(fileData, ssnd + 8);
        if (start > fileData.size()) {
            report(kInvalidAiff);
            return false;
        }
        const int64_t declared = static_cast<int64_t>(readBE32(fileData, ssnd + 4)) - 8;
        if (declared < 0 || static_cast<uint64_t>(declared) != totalBytes || fileData.size() - start < totalBytes) {
            report("ERROR: the metadatafor this file doesn't seem right");
            return false;
        }
        sampleStart = static_cast<std::size_t>(start);
        return true;
    }

    // Replaces the channels with the given number of frames, read from the
    // interleaved samples that the caller has checked to lie inside the file.
    void decodeFrames(const std::vector<uint8_t>& fileData, const SampleLayout& layout, uint32_t frames) {
        channelSamples.assign(layout.channels, std::vector<T>());
        for (auto& channel : channelSamples) channel.reserve(frames);
        std::size_t pos = layout.start;
        for (uint32_t i = 0; i < frames; ++i) {
            for (auto& channel : channelSamples) {
                channel.push_back(decodeSample(fileData, pos, layout));
                pos += static_cast<std::size_t>(layout.bytesPerSample);
            }
        }
    }

    static T decodeSample(const std::vector<uint8_t>& b, std::size_t pos, const SampleLayout& layout) {
        switch (layout.bytesPerSample) {
            case 1: {
                const int value = layout.unsigned8Bit ? b[pos] - 128 : static_cast<int8_t>(b[pos]);
                return scaled(value, k8BitScale);
            }
            case 2: {
                const uint16_t raw = layout.littleEndian ? readLE16(b, pos) : readBE16(b, pos);
                return scaled(static_cast<int16_t>(raw), k16BitScale);
            }
            default: {
                const uint32_t raw = layout.littleEndian
                                         ? static_cast<uint32_t>(b[pos] | (b[pos + 1] << 8) | (b[pos + 2] << 16))
                                         : static_cast<uint32_t>((b[pos] << 16) | (b[pos + 1] << 8) | b[pos + 2]);
                // Sign-extend from bit 23.
                const int32_t value = static_cast<int32_t>(raw << 8) >> 8;
                return scaled(value, k24BitScale);
            }
        }
    }

    // The integer sample converted to float, then multiplied by the float scale.
    static T scaled(int32_t value, float scale) { return static_cast<T>(static_cast<float>(value) * scale); }
};

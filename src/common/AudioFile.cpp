#include "AudioFile.h"

#include "Console.h"
#include "RegularFile.h"

#include <algorithm>
#include <bit>
#include <new>
#include <stdexcept>

namespace {

constexpr uint32_t kUnknownRate = 0xFFFFFFFF;
constexpr const char* kCannotLoad = "ERROR: File doesn't exist or otherwise can't load file";
constexpr const char* kInvalidWave = "ERROR: this doesn't seem to be a valid .WAV file";
constexpr const char* kInvalidAiff = "ERROR: this doesn't seem to be a valid AIFF file";
constexpr const char* kBadBitDepth = "ERROR: this file has a bit depth that is not 8, 16 or 24 bits";
constexpr const char* kNoMemory = "ERROR: not enough memory to decode this file";
// Scale factors 2^-7, 2^-15 and 2^-23, applied in single precision.
constexpr float k8BitScale = 0.0078125f;
constexpr float k16BitScale = 3.0517578125e-05f;
constexpr float k24BitScale = 1.1920928955078125e-07f;

// A whole sample rate as an 80-bit extended number: sign and 15-bit exponent
// (bias 16383), then the 64-bit significand with its explicit integer bit.
std::vector<uint8_t> encodeExtendedRate(uint32_t rate) {
    const int exponent = std::bit_width(rate) - 1;
    const uint32_t biased = 16383u + static_cast<uint32_t>(exponent);
    const uint64_t significand = static_cast<uint64_t>(rate) << (63 - exponent);
    std::vector<uint8_t> bytes{static_cast<uint8_t>(biased >> 8), static_cast<uint8_t>(biased & 0xFF)};
    for (int shift = 56; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(significand >> shift));
    return bytes;
}

std::map<uint32_t, std::vector<uint8_t>> buildAiffSampleRateTable() {
    static constexpr uint32_t kRates[] = {8000,   11025,  16000,  22050,  32000,  37800,   44056,
                                          44100,  47250,  48000,  50000,  50400,  88200,   96000,
                                          176400, 192000, 352800, 2822400, 5644800};
    std::map<uint32_t, std::vector<uint8_t>> table;
    for (const uint32_t rate : kRates) table.emplace(rate, encodeExtendedRate(rate));
    return table;
}

void report(const std::string& line) { Console::write(line + "\n"); }

bool hasText(const std::vector<uint8_t>& bytes, std::size_t pos, const std::string& text) {
    if (pos > bytes.size() || text.size() > bytes.size() - pos) return false;
    return std::equal(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                      [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
}

// True when length bytes starting at pos lie inside the file.
bool fits(const std::vector<uint8_t>& bytes, int pos, std::size_t length) {
    return pos >= 0 && static_cast<std::size_t>(pos) <= bytes.size() &&
           length <= bytes.size() - static_cast<std::size_t>(pos);
}

bool isSupportedBitDepth(int bits) { return bits == 8 || bits == 16 || bits == 24; }

uint16_t readLE16(const std::vector<uint8_t>& b, std::size_t pos) {
    return static_cast<uint16_t>(b[pos] | (b[pos + 1] << 8));
}
uint32_t readLE32(const std::vector<uint8_t>& b, std::size_t pos) {
    return static_cast<uint32_t>(readLE16(b, pos)) | (static_cast<uint32_t>(readLE16(b, pos + 2)) << 16);
}
uint16_t readBE16(const std::vector<uint8_t>& b, std::size_t pos) {
    return static_cast<uint16_t>((b[pos] << 8) | b[pos + 1]);
}
uint32_t readBE32(const std::vector<uint8_t>& b, std::size_t pos) {
    return (static_cast<uint32_t>(readBE16(b, pos)) << 16) | readBE16(b, pos + 2);
}

AudioFileFormat determineFormat(const std::vector<uint8_t>& fileData) {
    if (hasText(fileData, 0, "RIFF")) return AudioFileFormat::Wave;
    if (hasText(fileData, 0, "FORM")) return AudioFileFormat::Aiff;
    return AudioFileFormat::Error;
}

// The table rate whose 80-bit encoding matches the 10 bytes at pos.
uint32_t lookUpAiffSampleRate(const std::vector<uint8_t>& fileData, std::size_t pos) {
    const auto first = fileData.begin() + static_cast<std::ptrdiff_t>(pos);
    for (const auto& [rate, encoded] : aiffSampleRateTable) {
        if (std::equal(encoded.begin(), encoded.end(), first)) return rate;
    }
    return kUnknownRate;
}

// Checks the SSND header against the expected number of sample bytes and
// sets sampleStart. The arithmetic is 64-bit so that a huge frame count
// cannot wrap around to a size that looks consistent.
bool locateSoundData(const std::vector<uint8_t>& fileData, std::size_t ssnd, uint64_t totalBytes,
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

// The integer sample converted to float, then multiplied by the float scale.
float scaled(int32_t value, float scale) { return static_cast<float>(value) * scale; }

float decodeSample(const std::vector<uint8_t>& b, std::size_t pos, int bytesPerSample, bool littleEndian,
                   bool unsigned8Bit) {
    switch (bytesPerSample) {
        case 1: return scaled(unsigned8Bit ? b[pos] - 128 : static_cast<int8_t>(b[pos]), k8BitScale);
        case 2: {
            const uint16_t raw = littleEndian ? readLE16(b, pos) : readBE16(b, pos);
            return scaled(static_cast<int16_t>(raw), k16BitScale);
        }
        default: {
            const uint32_t raw = littleEndian ? static_cast<uint32_t>(b[pos] | (b[pos + 1] << 8) | (b[pos + 2] << 16))
                                              : static_cast<uint32_t>((b[pos] << 16) | (b[pos + 1] << 8) | b[pos + 2]);
            // Sign-extend from bit 23.
            return scaled(static_cast<int32_t>(raw << 8) >> 8, k24BitScale);
        }
    }
}

}  // namespace

const std::map<uint32_t, std::vector<uint8_t>> aiffSampleRateTable = buildAiffSampleRateTable();

bool AudioFile::load(const std::string& filePath) { return load(RegularFile::open(filePath)); }

bool AudioFile::load(const RegularFile& file) {
    std::vector<uint8_t> fileData;
    if (!file.readAll(fileData)) {
        report(kCannotLoad);
        report(file.path());
        return false;
    }
    return decode(fileData);
}

bool AudioFile::decode(const std::vector<uint8_t>& fileData) {
    fileFormat = determineFormat(fileData);
    switch (fileFormat) {
        case AudioFileFormat::Wave: return decodeWaveFile(fileData);
        case AudioFileFormat::Aiff: return decodeAiffFile(fileData);
        default: report("Audio File Type: Error"); return false;
    }
}

int AudioFile::getIndexOfString(const std::vector<uint8_t>& source, const std::string& text) {
    if (text.size() > source.size()) return -1;
    const std::size_t lastStart = std::min<std::size_t>(source.size() - text.size(), INT32_MAX);
    const auto end = source.begin() + static_cast<std::ptrdiff_t>(lastStart + text.size());
    const auto found = std::search(source.begin(), end, text.begin(), text.end(),
                                   [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
    return found == end ? -1 : static_cast<int>(found - source.begin());
}

bool AudioFile::decodeWaveFile(const std::vector<uint8_t>& fileData) {
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
    return decodeFrames(fileData, layout, dataSize / static_cast<uint32_t>(layout.frameBytes()));
}

bool AudioFile::decodeAiffFile(const std::vector<uint8_t>& fileData) {
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
    return decodeFrames(fileData, layout, frames);
}

// "sowt" switches to little-endian samples, "none" keeps big-endian; any
// other compression type is refused and remembered for the caller.
bool AudioFile::acceptCompressionType(const std::vector<uint8_t>& fileData, std::size_t pos) {
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

// Replaces the channels with the given number of frames, read from the
// interleaved samples that the caller has checked to lie inside the file.
// The new channels are built aside, so that a file too large for memory
// leaves the old ones in place.
bool AudioFile::decodeFrames(const std::vector<uint8_t>& fileData, const SampleLayout& layout, uint32_t frames) {
    std::vector<std::vector<float>> decoded;
    try {
        decoded.assign(layout.channels, std::vector<float>(frames));
    } catch (const std::exception&) {
        report(kNoMemory);
        return false;
    }
    std::size_t pos = layout.start;
    for (uint32_t i = 0; i < frames; ++i) {
        for (auto& channel : decoded) {
            channel[i] = decodeSample(fileData, pos, layout.bytesPerSample, layout.littleEndian, layout.unsigned8Bit);
            pos += static_cast<std::size_t>(layout.bytesPerSample);
        }
    }
    channelSamples = std::move(decoded);
    return true;
}

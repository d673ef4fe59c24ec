#include "AudioFile.h"

#include "Console.h"
#include "RegularFile.h"

#include <algorithm>
#include <bit>
#include <climits>
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
// Bytes read from a file at a time, when searching it or decoding it.
constexpr std::size_t kPiece = std::size_t{1} << 20;
// The fixed parts of the chunks read, in bytes: the format chunk, COMM
// (AIFF, then AIFF-C with its compression type) and the SSND header.
struct ChunkBytes {
    std::size_t fmt, comm, commCompressed, ssnd;
};
constexpr ChunkBytes kChunk{24, 26, 30, 16};

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

bool isSupportedBitDepth(int bits) { return bits == 8 || bits == 16 || bits == 24; }

uint16_t readLE16(const uint8_t* b) { return static_cast<uint16_t>(b[0] | (b[1] << 8)); }
uint32_t readLE32(const uint8_t* b) {
    return static_cast<uint32_t>(readLE16(b)) | (static_cast<uint32_t>(readLE16(b + 2)) << 16);
}
uint16_t readBE16(const uint8_t* b) { return static_cast<uint16_t>((b[0] << 8) | b[1]); }
uint32_t readBE32(const uint8_t* b) { return (static_cast<uint32_t>(readBE16(b)) << 16) | readBE16(b + 2); }

// The table rate whose 80-bit encoding matches the 10 bytes at `encoded`.
uint32_t lookUpAiffSampleRate(const uint8_t* encoded) {
    for (const auto& [rate, bytes] : aiffSampleRateTable) {
        if (std::equal(bytes.begin(), bytes.end(), encoded)) return rate;
    }
    return kUnknownRate;
}

// The integer sample converted to float, then multiplied by the float scale.
float scaled(int32_t value, float scale) { return static_cast<float>(value) * scale; }

}  // namespace

const std::map<uint32_t, std::vector<uint8_t>> aiffSampleRateTable = buildAiffSampleRateTable();

class AudioFile::Bytes {
public:
    explicit Bytes(const std::vector<uint8_t>& memory) : m_Memory(&memory), m_Size(memory.size()) {}
    explicit Bytes(const RegularFile& file)
        : m_File(&file), m_Size(static_cast<std::size_t>(std::max<std::int64_t>(file.identity().size, 0))) {}

    std::size_t size() const { return m_Size; }

    // Whether `count` bytes at `pos` lie inside the file.
    bool holds(long long pos, std::size_t count) const {
        return pos >= 0 && static_cast<std::size_t>(pos) <= m_Size && count <= m_Size - static_cast<std::size_t>(pos);
    }

    // The `count` bytes at `pos`; false when they are not all in the file or
    // cannot be read.
    bool read(std::size_t pos, std::size_t count, uint8_t* into) const {
        if (!holds(static_cast<long long>(pos), count)) return false;
        if (m_Memory != nullptr) {
            std::copy_n(m_Memory->begin() + static_cast<std::ptrdiff_t>(pos), count, into);
            return true;
        }
        return m_File->readAt(into, count, static_cast<std::int64_t>(pos)) == static_cast<long long>(count);
    }

    bool hasText(std::size_t pos, const std::string& text) const {
        std::vector<uint8_t> found(text.size());
        return read(pos, text.size(), found.data()) && std::equal(text.begin(), text.end(), found.begin(),
                                                                  [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
    }

    // The first occurrence of `text`, as getIndexOfString finds it in the
    // whole file; a file is searched a piece at a time.
    long long find(const std::string& text) const {
        if (m_Memory != nullptr) return getIndexOfString(*m_Memory, text);
        if (text.empty() || text.size() > m_Size) return -1;
        const std::size_t lastStart = std::min<std::size_t>(m_Size - text.size(), INT32_MAX);
        std::vector<uint8_t> piece(kPiece + text.size() - 1);
        for (std::size_t at = 0; at <= lastStart; at += kPiece) {
            const std::size_t count = std::min(piece.size(), lastStart + text.size() - at);
            if (!read(at, count, piece.data())) return -1;
            const auto end = piece.begin() + static_cast<std::ptrdiff_t>(count);
            const auto found = std::search(piece.begin(), end, text.begin(), text.end(),
                                           [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
            if (found != end) return static_cast<long long>(at) + (found - piece.begin());
        }
        return -1;
    }

private:
    const std::vector<uint8_t>* m_Memory = nullptr;
    const RegularFile* m_File = nullptr;
    std::size_t m_Size = 0;
};

float AudioFile::sampleAt(const uint8_t* b, const SampleLayout& layout) {
    switch (layout.bytesPerSample) {
        case 1: return scaled(layout.unsigned8Bit ? b[0] - 128 : static_cast<int8_t>(b[0]), k8BitScale);
        case 2: {
            const uint16_t raw = layout.littleEndian ? readLE16(b) : readBE16(b);
            return scaled(static_cast<int16_t>(raw), k16BitScale);
        }
        default: {
            const uint32_t raw = layout.littleEndian ? static_cast<uint32_t>(b[0] | (b[1] << 8) | (b[2] << 16))
                                                     : static_cast<uint32_t>((b[0] << 16) | (b[1] << 8) | b[2]);
            // Sign-extend from bit 23.
            return scaled(static_cast<int32_t>(raw << 8) >> 8, k24BitScale);
        }
    }
}

bool AudioFile::load(const std::string& filePath) { return load(RegularFile::open(filePath)); }

bool AudioFile::load(const RegularFile& file) {
    const std::optional<SampleLayout> layout = inspect(file);
    return layout && decodeFrames(Bytes(file), *layout);
}

std::optional<AudioFile::SampleLayout> AudioFile::inspect(const RegularFile& file) {
    if (!file.isOpen()) {
        report(kCannotLoad);
        report(file.path());
        return std::nullopt;
    }
    return inspect(Bytes(file));
}

std::optional<AudioFile::SampleLayout> AudioFile::inspect(const Bytes& bytes) {
    fileFormat = bytes.hasText(0, "RIFF")   ? AudioFileFormat::Wave
                 : bytes.hasText(0, "FORM") ? AudioFileFormat::Aiff
                                            : AudioFileFormat::Error;
    switch (fileFormat) {
        case AudioFileFormat::Wave: return inspectWave(bytes);
        case AudioFileFormat::Aiff: return inspectAiff(bytes);
        default: report("Audio File Type: Error"); return std::nullopt;
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
    const std::optional<SampleLayout> layout = inspectWave(Bytes(fileData));
    return layout && decodeFrames(Bytes(fileData), *layout);
}

bool AudioFile::decodeAiffFile(const std::vector<uint8_t>& fileData) {
    const std::optional<SampleLayout> layout = inspectAiff(Bytes(fileData));
    return layout && decodeFrames(Bytes(fileData), *layout);
}

std::optional<AudioFile::SampleLayout> AudioFile::inspectWave(const Bytes& bytes) {
    const long long d = bytes.find("data");
    const long long f = bytes.find("fmt");
    uint8_t fmt[kChunk.fmt];
    uint8_t dataSizeBytes[4];
    if (d == -1 || f == -1 || !bytes.hasText(0, "RIFF") || !bytes.hasText(8, "WAVE") ||
        !bytes.read(static_cast<std::size_t>(f), kChunk.fmt, fmt) ||
        !bytes.read(static_cast<std::size_t>(d) + 4, 4, dataSizeBytes)) {
        report(kInvalidWave);
        return std::nullopt;
    }
    const uint16_t audioFormat = readLE16(fmt + 8);
    const uint16_t channels = readLE16(fmt + 10);
    sampleRate = readLE32(fmt + 12);
    const uint32_t bytesPerSecond = readLE32(fmt + 16);
    const int16_t blockSize = static_cast<int16_t>(readLE16(fmt + 20));
    const int16_t bits = static_cast<int16_t>(readLE16(fmt + 22));
    bitDepth = bits;

    if (audioFormat != 1) {
        report("ERROR: this is a compressed .WAV file and this library does not support decoding them at present");
        return std::nullopt;
    }
    if (channels != 1 && channels != 2) {
        report("ERROR: this WAV file seems to be neither mono nor stereo (perhaps multi-track, or corrupted?)");
        return std::nullopt;
    }
    const uint32_t expectedBytesPerSecond = (sampleRate * channels * static_cast<uint32_t>(bits)) / 8u;
    if (bytesPerSecond != expectedBytesPerSecond || blockSize != channels * (bits / 8)) {
        report("ERROR: the header data in this WAV file seems to be inconsistent");
        return std::nullopt;
    }
    if (!isSupportedBitDepth(static_cast<uint16_t>(bits))) {
        report(kBadBitDepth);
        return std::nullopt;
    }
    // The data size is unsigned: a size the file does not hold is refused
    // rather than read past the end.
    const std::size_t dataStart = static_cast<std::size_t>(d) + 8;
    const uint32_t dataSize = readLE32(dataSizeBytes);
    if (!bytes.holds(static_cast<long long>(dataStart), dataSize)) {
        report(kInvalidWave);
        return std::nullopt;
    }
    SampleLayout layout{.start = dataStart, .bytesPerSample = bits / 8, .channels = channels,
                        .littleEndian = true, .unsigned8Bit = true};
    layout.frames = dataSize / static_cast<uint32_t>(layout.frameBytes());
    return layout;
}

std::optional<AudioFile::SampleLayout> AudioFile::inspectAiff(const Bytes& bytes) {
    const long long p = bytes.find("COMM");
    const long long s = bytes.find("SSND");
    const bool isAifc = bytes.hasText(8, "AIFC");
    // The COMM fields end after the sample rate (AIFF) or after the
    // compression type (AIFF-C); the SSND header is 16 bytes.
    uint8_t comm[kChunk.commCompressed];
    uint8_t ssnd[kChunk.ssnd];
    if (p == -1 || s == -1 || !bytes.hasText(0, "FORM") || !(isAifc || bytes.hasText(8, "AIFF")) ||
        !bytes.read(static_cast<std::size_t>(p), isAifc ? kChunk.commCompressed : kChunk.comm, comm) ||
        !bytes.read(static_cast<std::size_t>(s), kChunk.ssnd, ssnd)) {
        report(kInvalidAiff);
        return std::nullopt;
    }
    const uint16_t channels = readBE16(comm + 8);
    const uint32_t frames = readBE32(comm + 10);
    const int16_t bits = static_cast<int16_t>(readBE16(comm + 14));
    bitDepth = bits;
    sampleRate = lookUpAiffSampleRate(comm + 16);
    littleEndianSamples = false;

    if (isAifc && !acceptCompressionType(comm + 26)) return std::nullopt;
    if (sampleRate == kUnknownRate) {
        report("ERROR: this AIFF file has an unsupported sample rate");
        return std::nullopt;
    }
    if (channels != 1 && channels != 2) {
        report("ERROR: this AIFF file seems to be neither mono nor stereo (perhaps multi-track, or corrupted?)");
        return std::nullopt;
    }
    if (!isSupportedBitDepth(bits)) {
        report(kBadBitDepth);
        return std::nullopt;
    }
    SampleLayout layout{.start = 0, .bytesPerSample = bits / 8, .channels = channels,
                        .littleEndian = littleEndianSamples, .unsigned8Bit = false, .frames = frames};
    // The arithmetic is 64-bit so that a huge frame count cannot wrap around
    // to a size that looks consistent.
    const uint64_t totalBytes = static_cast<uint64_t>(layout.frameBytes()) * frames;
    const uint64_t start = static_cast<uint64_t>(s) + 16 + readBE32(ssnd + 8);
    if (start > bytes.size()) {
        report(kInvalidAiff);
        return std::nullopt;
    }
    const int64_t declared = static_cast<int64_t>(readBE32(ssnd + 4)) - 8;
    if (declared < 0 || static_cast<uint64_t>(declared) != totalBytes || bytes.size() - start < totalBytes) {
        report("ERROR: the metadatafor this file doesn't seem right");
        return std::nullopt;
    }
    layout.start = static_cast<std::size_t>(start);
    // A frame count that is negative as a signed number decodes no frame.
    if (static_cast<int32_t>(frames) < 1) layout.frames = 0;
    return layout;
}

// "sowt" switches to little-endian samples, "none" keeps big-endian; any
// other compression type is refused and remembered for the caller.
bool AudioFile::acceptCompressionType(const uint8_t* type) {
    const std::string name(type, type + 4);
    if (name == "sowt") {
        littleEndianSamples = true;
    } else if (name != "none") {
        Console::write("well shit.\nformat_ID: " + name + "\n");
        unsupportedFormatId = name;
        return false;
    }
    return true;
}

// Replaces the channels with the layout's frames, read a piece at a time from
// the interleaved samples that inspect checked to lie inside the file. The
// new channels are built aside, so that a file too large for memory (or one
// that cannot be read to its end) leaves the old ones in place.
bool AudioFile::decodeFrames(const Bytes& bytes, const SampleLayout& layout) {
    std::vector<std::vector<float>> decoded;
    std::vector<uint8_t> piece;
    const std::size_t frameBytes = static_cast<std::size_t>(layout.frameBytes());
    const std::size_t framesPerPiece = std::max<std::size_t>(1, kPiece / frameBytes);
    try {
        decoded.assign(layout.channels, std::vector<float>(layout.frames));
        piece.resize(std::min<std::size_t>(framesPerPiece, layout.frames) * frameBytes);
    } catch (const std::exception&) {
        report(kNoMemory);
        return false;
    }
    for (std::size_t first = 0; first < layout.frames; first += framesPerPiece) {
        const std::size_t count = std::min<std::size_t>(framesPerPiece, layout.frames - first);
        if (!bytes.read(layout.start + first * frameBytes, count * frameBytes, piece.data())) {
            report(kCannotLoad);
            return false;
        }
        const uint8_t* sample = piece.data();
        for (std::size_t i = first; i < first + count; ++i) {
            for (auto& channel : decoded) {
                channel[i] = sampleAt(sample, layout);
                sample += layout.bytesPerSample;
            }
        }
    }
    channelSamples = std::move(decoded);
    return true;
}

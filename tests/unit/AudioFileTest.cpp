#include "AudioFile.h"

#include "Console.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

std::string le16(uint16_t v) { return {char(v & 0xFF), char(v >> 8)}; }
std::string le32(uint32_t v) { return le16(uint16_t(v & 0xFFFF)) + le16(uint16_t(v >> 16)); }
std::string be16(uint16_t v) { return {char(v >> 8), char(v & 0xFF)}; }
std::string be32(uint32_t v) { return be16(uint16_t(v >> 16)) + be16(uint16_t(v & 0xFFFF)); }
std::string raw(std::initializer_list<int> bytes) { return std::string(bytes.begin(), bytes.end()); }

const std::string kRate44100 = raw({0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0});
const std::string kRate8000 = raw({0x40, 0x0B, 0xFA, 0x00, 0, 0, 0, 0, 0, 0});
const std::string kRate24000 = raw({0x40, 0x0D, 0xBB, 0x80, 0, 0, 0, 0, 0, 0});

struct Wave {
    uint16_t format = 1, channels = 1;
    uint32_t rate = 44100;
    int16_t bits = 16;
    std::optional<int16_t> blockSize{};
    std::optional<uint32_t> dataSize{};
    std::string earlierChunk{};
    std::string build(const std::string& samples) const {
        const int16_t block = blockSize.value_or(int16_t(channels * (bits / 8)));
        const std::string body = "WAVE" + earlierChunk + "fmt " + le32(16) + le16(format) + le16(channels) +
                                 le32(rate) + le32(rate * uint32_t(channels * (bits / 8))) + le16(uint16_t(block)) +
                                 le16(uint16_t(bits)) + "data" + le32(dataSize.value_or(uint32_t(samples.size()))) +
                                 samples;
        return "RIFF" + le32(uint32_t(body.size())) + body;
    }
};

struct Aiff {
    std::string form = "AIFF", rate = kRate44100, compression = "none";
    uint16_t channels = 1;
    int16_t bits = 16;
    std::optional<uint32_t> frames{}, ssndSize{};
    uint32_t offset = 0;
    std::string build(const std::string& samples) const {
        const uint32_t frameCount = frames.value_or(uint32_t(samples.size() / (channels * (bits / 8))));
        std::string comm = be16(channels) + be32(frameCount) + be16(uint16_t(bits)) + rate;
        if (form == "AIFC") comm += compression + raw({0, 0});
        const std::string body = form + "COMM" + be32(uint32_t(comm.size())) + comm + "SSND" +
                                 be32(ssndSize.value_or(uint32_t(8 + samples.size()))) + be32(offset) + be32(0) +
                                 samples;
        return "FORM" + be32(uint32_t(body.size())) + body;
    }
};

std::vector<uint8_t> bytesOf(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

class AudioFileTest : public ::testing::Test {
protected:
    bool load(const std::string& content) {
        writeFile(m_Dir.file("sound"), content);
        const Console::Capture console;
        const bool ok = audio.load(m_Dir.file("sound"));
        output = console.text();
        return ok;
    }
    void expectRefused(const std::string& content, const std::string& message) {
        EXPECT_FALSE(load(content));
        EXPECT_EQ(output, message + "\n");
    }
    AudioFile audio;
    std::string output;
    TempDir m_Dir;
};

using Channels = std::vector<std::vector<float>>;
const std::string kNotWave = "ERROR: this doesn't seem to be a valid .WAV file";
const std::string kNotAiff = "ERROR: this doesn't seem to be a valid AIFF file";
const std::string kBadBits = "ERROR: this file has a bit depth that is not 8, 16 or 24 bits";
const std::string kBadMetadata = "ERROR: the metadatafor this file doesn't seem right";

TEST(AiffSampleRateTable, HoldsTheNineteenRatesAsExtendedNumbers) {
    std::vector<uint32_t> rates;
    for (const auto& entry : aiffSampleRateTable) rates.push_back(entry.first);
    EXPECT_EQ(rates, (std::vector<uint32_t>{8000, 11025, 16000, 22050, 32000, 37800, 44056, 44100, 47250, 48000,
                                            50000, 50400, 88200, 96000, 176400, 192000, 352800, 2822400, 5644800}));
    EXPECT_EQ(aiffSampleRateTable.at(44100), bytesOf(kRate44100));
    EXPECT_EQ(aiffSampleRateTable.at(8000), bytesOf(kRate8000));
    EXPECT_EQ(aiffSampleRateTable.at(5644800), bytesOf(raw({0x40, 0x15, 0xAC, 0x44, 0, 0, 0, 0, 0, 0})));
}

TEST_F(AudioFileTest, StartsUnloadedWithOneEmptyChannel) {
    EXPECT_EQ(audio.fileFormat, AudioFileFormat::Unloaded);
    EXPECT_EQ(audio.getNumChannels(), 1);
    EXPECT_EQ(audio.getNumSamplesPerChannel(), 0);
    EXPECT_EQ(audio.getSampleRate(), 44100u);
    EXPECT_EQ(audio.getBitDepth(), 16);
}

TEST(AudioFileSearch, FindsTheFirstOccurrenceAnywhereIncludingTheLastPosition) {
    EXPECT_EQ(AudioFile::getIndexOfString(bytesOf("xxdataxdata"), "data"), 2);
    EXPECT_EQ(AudioFile::getIndexOfString(bytesOf("xxdata"), "data"), 2);
    EXPECT_EQ(AudioFile::getIndexOfString(bytesOf("DATA"), "data"), -1);
    EXPECT_EQ(AudioFile::getIndexOfString(bytesOf("dat"), "data"), -1);
}

TEST_F(AudioFileTest, DecodesWaveExtremesOfEveryDepth) {
    ASSERT_TRUE(load(Wave{.bits = 8}.build(raw({0, 128, 255}))));
    EXPECT_EQ(audio.channelSamples, (Channels{{-1.0f, 0.0f, 0.9921875f}}));
    EXPECT_EQ(audio.fileFormat, AudioFileFormat::Wave);
    EXPECT_EQ(output, "");

    ASSERT_TRUE(load(Wave{.channels = 2}.build(raw({0x00, 0x80, 0xFF, 0x7F, 0x01, 0x00, 0xFF, 0xFF}))));
    EXPECT_EQ(audio.channelSamples, (Channels{{-1.0f, 1.0f / 32768}, {0.999969482421875f, -1.0f / 32768}}));

    ASSERT_TRUE(load(Wave{.rate = 12345, .bits = 24}.build(raw({0, 0, 0x80, 0xFF, 0xFF, 0x7F, 1, 0, 0}))));
    EXPECT_EQ(audio.channelSamples, (Channels{{-1.0f, 8388607.0f / 8388608, 1.0f / 8388608}}));
    EXPECT_EQ(audio.getSampleRate(), 12345u);
    EXPECT_EQ(audio.getBitDepth(), 24);
}

TEST_F(AudioFileTest, DecodesAiffBigEndianAndAifcSowtLittleEndian) {
    ASSERT_TRUE(load(Aiff{.bits = 8}.build(raw({0x80, 0x7F, 0x00}))));
    EXPECT_EQ(audio.channelSamples, (Channels{{-1.0f, 0.9921875f, 0.0f}}));
    EXPECT_EQ(audio.fileFormat, AudioFileFormat::Aiff);

    ASSERT_TRUE(load(Aiff{.form = "AIFC", .compression = "sowt"}.build(raw({0x01, 0x80}))));
    EXPECT_EQ(audio.channelSamples, (Channels{{-0.999969482421875f}}));
    EXPECT_TRUE(audio.littleEndianSamples);

    ASSERT_TRUE(load(Aiff{.rate = kRate8000}.build(raw({0x01, 0x80}))));
    EXPECT_EQ(audio.channelSamples, (Channels{{384.0f / 32768}}));
    EXPECT_FALSE(audio.littleEndianSamples);
    EXPECT_EQ(audio.getSampleRate(), 8000u);

    const std::string bigEndian24 = raw({0x80, 0, 0, 0x7F, 0xFF, 0xFF});
    ASSERT_TRUE(load(Aiff{.form = "AIFC", .channels = 2, .bits = 24}.build(bigEndian24)));
    EXPECT_EQ(audio.channelSamples, (Channels{{-1.0f}, {8388607.0f / 8388608}}));
    ASSERT_TRUE(load(Aiff{.form = "AIFC", .compression = "sowt", .bits = 24}.build(bigEndian24)));
    EXPECT_EQ(audio.channelSamples, (Channels{{128.0f / 8388608, -129.0f / 8388608}}));
}

TEST_F(AudioFileTest, RefusesUnsupportedWaveFilesWithTheirMessages) {
    expectRefused("", "Audio File Type: Error");
    EXPECT_EQ(audio.fileFormat, AudioFileFormat::Error);
    expectRefused(Wave{.format = 3, .bits = 32}.build(""),
                  "ERROR: this is a compressed .WAV file and this library does not support decoding them at present");
    expectRefused(Wave{.channels = 4}.build(""),
                  "ERROR: this WAV file seems to be neither mono nor stereo (perhaps multi-track, or corrupted?)");
    expectRefused(Wave{.bits = 32}.build(""), kBadBits);
    expectRefused(Wave{.bits = 32, .blockSize = 2}.build(""),
                  "ERROR: the header data in this WAV file seems to be inconsistent");
    expectRefused("RIFF" + le32(4) + "WAVEfmt ", kNotWave);
}

TEST_F(AudioFileTest, ReportsAMissingFileWithItsPath) {
    const Console::Capture console;
    EXPECT_FALSE(audio.load(m_Dir.file("missing.wav")));
    EXPECT_EQ(console.text(),
              "ERROR: File doesn't exist or otherwise can't load file\n" + m_Dir.file("missing.wav") + "\n");
}

TEST_F(AudioFileTest, RefusesUnsupportedAiffFilesWithTheirMessages) {
    EXPECT_FALSE(load(Aiff{.form = "AIFC", .rate = kRate24000, .compression = "fl32"}.build("")));
    EXPECT_EQ(output, "well shit.\nformat_ID: fl32\n");
    EXPECT_EQ(audio.unsupportedFormatId, "fl32");

    expectRefused(Aiff{.rate = kRate24000}.build(raw({0, 0})), "ERROR: this AIFF file has an unsupported sample rate");
    EXPECT_EQ(audio.getSampleRate(), 0xFFFFFFFFu);
    expectRefused(Aiff{.channels = 4}.build(""),
                  "ERROR: this AIFF file seems to be neither mono nor stereo (perhaps multi-track, or corrupted?)");
    expectRefused(Aiff{.bits = 32}.build(""), kBadBits);
    expectRefused(Aiff{.ssndSize = 9}.build(raw({0, 0})), kBadMetadata);
    expectRefused(Aiff{.form = "AIFX"}.build(raw({0, 0})), kNotAiff);
    EXPECT_EQ(audio.unsupportedFormatId, "fl32");  // written only by a refused compression type
}

TEST_F(AudioFileTest, RefusedLoadKeepsSamplesButHoldsTheRefusedHeader) {
    ASSERT_TRUE(load(Wave{.channels = 2}.build(raw({1, 0, 2, 0}))));
    const Channels before = audio.channelSamples;
    expectRefused(Wave{.format = 1, .channels = 1, .rate = 22050, .bits = 32}.build(""), kBadBits);
    EXPECT_EQ(audio.channelSamples, before);
    EXPECT_EQ(audio.getSampleRate(), 22050u);
    EXPECT_EQ(audio.getBitDepth(), 32);

    ASSERT_TRUE(load(Wave{.channels = 2, .dataSize = 0}.build("")));
    EXPECT_EQ(audio.channelSamples, (Channels{{}, {}}));
}

TEST_F(AudioFileTest, TakesTheFirstDataTextEvenInsideAnEarlierChunk) {
    const std::string list = "LIST" + le32(10) + "data" + le32(2) + le16(0x7FFF);
    ASSERT_TRUE(load(Wave{.earlierChunk = list}.build(le16(0x8000))));
    EXPECT_EQ(audio.channelSamples, (Channels{{0.999969482421875f}}));
}

TEST_F(AudioFileTest, RefusesSizesThatClaimMoreBytesThanTheFileHolds) {
    ASSERT_TRUE(load(Wave{}.build(le16(0x4000))));
    const Channels before = audio.channelSamples;
    expectRefused(Wave{.dataSize = 4}.build(le16(1)), kNotWave);
    expectRefused(Wave{.dataSize = 0xFFFFFFFF}.build(le16(1)), kNotWave);
    EXPECT_EQ(audio.channelSamples, before);

    // 0x40000000 stereo 16-bit frames are 2^32 bytes: must not wrap to 0.
    expectRefused(Aiff{.channels = 2, .frames = 0x40000000, .ssndSize = 8}.build(""), kBadMetadata);
    expectRefused(Aiff{.frames = 4, .ssndSize = 16}.build(raw({0, 0})), kBadMetadata);
    expectRefused(Aiff{.offset = 1000}.build(raw({0, 0})), kNotAiff);
    std::string headerless = Aiff{}.build("");
    headerless.replace(headerless.find("SSND"), 4, "ssnd");
    expectRefused(headerless + "SSND", kNotAiff);  // the only SSND text has no header after it
    EXPECT_EQ(audio.channelSamples, before);
}

// Every prefix of a valid file is refused without reading beyond it; the
// vectors are exactly sized so that the address sanitizer sees any overrun.
TEST(AudioFileTruncation, EveryTruncatedFileIsRefusedSafely) {
    const std::string files[] = {Wave{.channels = 2, .bits = 24}.build(std::string(12, '\x11')),
                                 Aiff{.channels = 2}.build(std::string(8, '\x22')),
                                 Aiff{.form = "AIFC", .compression = "sowt", .bits = 24}.build(std::string(6, 'x'))};
    for (const std::string& file : files) {
        for (std::size_t length = 0; length <= file.size(); ++length) {
            const std::vector<uint8_t> bytes(file.begin(), file.begin() + std::ptrdiff_t(length));
            AudioFile audio;
            const Console::Capture console;
            const bool ok = file[0] == 'R' ? audio.decodeWaveFile(bytes) : audio.decodeAiffFile(bytes);
            const std::string output = console.text();
            EXPECT_EQ(ok, length == file.size()) << "length " << length;
            EXPECT_EQ(output.empty(), ok) << "length " << length;
        }
    }
}

}  // namespace

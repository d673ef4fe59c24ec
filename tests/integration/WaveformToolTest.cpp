// corvilane-waveform on a real file: summary, JSON and PNG.
#include "ChildProcess.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <sndfile.h>
#include <sys/wait.h>

#include <cmath>

using namespace std::chrono_literals;

namespace {

class WaveformToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        SF_INFO info{};
        info.samplerate = 44100;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* file = sf_open(m_Dir.file("clip.wav").c_str(), SFM_WRITE, &info);
        std::vector<float> samples(44100);
        for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = 0.5f * std::sin(static_cast<float>(i) * 0.05f);
        sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size()));
        sf_close(file);
    }

    int run(std::vector<std::string> args) {
        args.insert(args.begin(), CORVILANE_WAVEFORM_PATH);
        ChildProcess tool(ChildProcess::Options{.args = args, .stdoutPath = m_Dir.file("out.txt")});
        const auto status = tool.wait(30s);
        return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    }

    std::string output() const { return readFile(m_Dir.file("out.txt")); }

    TempDir m_Dir;
};

TEST_F(WaveformToolTest, SummarisesWritesJsonAndDrawsAPng) {
    ASSERT_EQ(run({m_Dir.file("clip.wav")}), 0);
    for (const char* line : {"decoder:     library\n", "sample rate: 44100 Hz\n", "samples:     44100\n", "k:           2\n",
                             "q:           22050\n", "duration:    1.000 s\n"}) {
        EXPECT_NE(output().find(line), std::string::npos) << line << output();
    }
    ASSERT_EQ(run({m_Dir.file("clip.wav"), "--json", "--png", m_Dir.file("clip.png"), "--size", "300x80"}), 0);
    EXPECT_EQ(output().rfind("{\"duration\":1,\"waveform\":[", 0), 0u) << output().substr(0, 100);
    EXPECT_EQ(output().back(), '\n');
    EXPECT_EQ(readFile(m_Dir.file("clip.png")).substr(1, 3), "PNG");
    // 300 wide, 80 high above the 12-pixel time axis.
    EXPECT_EQ(readFile(m_Dir.file("clip.png")).substr(16, 8), std::string("\0\0\x01\x2c\0\0\0\x5c", 8));
}

TEST_F(WaveformToolTest, AnEmptyFileHasEmptySeries) {
    writeFile(m_Dir.file("empty.wav"), std::string("RIFF\x24\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x44\xAC\0\0\x88\x58\x01\0\x02\0\x10\0data\0\0\0\0", 44));
    ASSERT_EQ(run({m_Dir.file("empty.wav"), "--json"}), 0);
    EXPECT_EQ(output(), "{\"duration\":0,\"waveform\":[],\"intensity\":[]}\n");
}

TEST_F(WaveformToolTest, RefusesWhatItCannotRead) {
    writeFile(m_Dir.file("noise.m4a"), "not audio");
    EXPECT_EQ(run({m_Dir.file("noise.m4a")}), 1);
    EXPECT_EQ(run({}), 2);
    EXPECT_EQ(run({m_Dir.file("clip.wav"), "--start"}), 2);
    EXPECT_EQ(run({m_Dir.file("clip.wav"), "--size", "0x10"}), 2);
}

}  // namespace

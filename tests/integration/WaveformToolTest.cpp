// corvilane-waveform on a real file: summary, JSON and PNG.
#include "ChildProcess.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

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

    // Runs the tool in the test's folder.
    int run(std::vector<std::string> args) {
        args.insert(args.begin(), CORVILANE_WAVEFORM_PATH);
        ChildProcess tool(ChildProcess::Options{.args = args,
                                                .workingDirectory = m_Dir.path().string(),
                                                .stdoutPath = m_Dir.file("out.txt"),
                                                .stderrPath = m_Dir.file("err.txt")});
        const auto status = tool.wait(30s);
        return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    }

    std::string output() const { return readFile(m_Dir.file("out.txt")); }
    std::string errors() const { return readFile(m_Dir.file("err.txt")); }

    TempDir m_Dir;
};

TEST_F(WaveformToolTest, SummarisesWritesJsonAndDrawsAPng) {
    ASSERT_EQ(run({m_Dir.file("clip.wav")}), 0);
    for (const char* line : {"decoder:     libsndfile\n", "sample rate: 44100 Hz\n", "samples:     44100\n",
                             "waveform:    11025 pairs (lowest and highest sample of each 4-sample window)\n",
                             "intensity:   22050 points (one every 2 samples; the last 255 are 0, too near the end)\n",
                             "duration:    1.000 s\n"}) {
        EXPECT_NE(output().find(line), std::string::npos) << line << output();
    }
    ASSERT_EQ(run({m_Dir.file("clip.wav"), "--json", "--png", m_Dir.file("clip.png"), "--size", "300x80"}), 0);
    EXPECT_EQ(output().rfind("{\"duration\":1,\"waveform\":[", 0), 0u) << output().substr(0, 100);
    EXPECT_EQ(output().back(), '\n');
    EXPECT_NE(output().find("],\"decoder\":\"libsndfile\",\"sample_rate\":44100,\"samples\":44100,"
                            "\"samples_per_point\":2,\"points\":22050,\"waveform_pairs\":11025,\"window_samples\":4,"),
              std::string::npos);
    EXPECT_NE(output().find(",\"fields\":{\"duration\":{\"unit\":\"s\","), std::string::npos);
    EXPECT_EQ(readFile(m_Dir.file("clip.png")).substr(1, 3), "PNG");
    // 300 wide, 80 high above the 46-pixel footer (time axis and legend).
    EXPECT_EQ(readFile(m_Dir.file("clip.png")).substr(16, 8), std::string("\0\0\x01\x2c\0\0\0\x7e", 8));
}

TEST_F(WaveformToolTest, AnEmptyFileHasEmptySeries) {
    writeFile(m_Dir.file("empty.wav"), std::string("RIFF\x24\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x44\xAC\0\0\x88\x58\x01\0\x02\0\x10\0data\0\0\0\0", 44));
    ASSERT_EQ(run({m_Dir.file("empty.wav"), "--json"}), 0);
    EXPECT_EQ(output().rfind("{\"duration\":0,\"waveform\":[],\"intensity\":[],\"decoder\":", 0), 0u) << output();
}

// Whether `text` is `expected`; a '*' at either end of `expected` stands
// for any text there.
bool matches(const std::string& text, std::string expected) {
    const bool anyBefore = !expected.empty() && expected.front() == '*';
    if (anyBefore) expected.erase(0, 1);
    const bool anyAfter = !expected.empty() && expected.back() == '*';
    if (anyAfter) expected.pop_back();
    const std::size_t at = anyBefore ? text.rfind(expected) : (text.rfind(expected, 0) == 0 ? 0 : std::string::npos);
    return at != std::string::npos && (anyAfter || at + expected.size() == text.size());
}

// Every argument problem has its status and its message on standard error
// alone; help and version go to standard output; decoder lines show only
// when asked for.
TEST_F(WaveformToolTest, AnswersItsCommandLine) {
    writeFile(m_Dir.file("noise.m4a"), "not audio");
    writeFile(m_Dir.file("noise.wav"), "not audio");
    writeFile(m_Dir.file("locked.wav"), readFile(m_Dir.file("clip.wav")));
    chmod(m_Dir.file("locked.wav").c_str(), 0);
    std::filesystem::create_directory(m_Dir.file("folder.wav"));
    writeFile(m_Dir.file("-h"), readFile(m_Dir.file("clip.wav")));
    const std::string tryHelp = "Try 'corvilane-waveform --help' for more information.\n";
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
        bool rootReadsIt = false;
    };
    const Row rows[] = {
        {{"--help"}, 0, "Usage: corvilane-waveform [OPTION]... FILE\n*", ""},
        {{"clip.wav", "-h"}, 0, "*fraction of the file (0 to 1, default 0)*", ""},
        {{"--version"}, 0, "corvilane-waveform (corviLane) *", ""},
        {{"--bogus", "clip.wav"}, 2, "", "corvilane-waveform: unrecognized option '--bogus'\n" + tryHelp},
        {{"clip.wav", "--start"}, 2, "", "corvilane-waveform: option '--start' requires an argument\n" + tryHelp},
        {{"clip.wav", "--length", "1.5"}, 2, "", "corvilane-waveform: invalid --length '1.5'*"},
        {{"clip.wav", "--size", "0x10"}, 2, "", "corvilane-waveform: invalid --size '0x10'*"},
        {{"clip.wav", "--size", "300x80x"}, 2, "", "corvilane-waveform: invalid --size '300x80x'*"},
        {{}, 2, "", "corvilane-waveform: missing FILE operand\n" + tryHelp},
        {{"clip.wav", "clip.wav"}, 2, "", "corvilane-waveform: extra operand 'clip.wav'\n" + tryHelp},
        {{"missing.wav"}, 3, "", "corvilane-waveform: missing.wav: no such file\n"},
        {{"locked.wav"}, 4, "", "corvilane-waveform: locked.wav: cannot be read (Permission denied)\n", true},
        {{"folder.wav"}, 4, "", "corvilane-waveform: folder.wav: cannot be read (Is a directory)\n"},
        {{"/dev/null"}, 4, "", "corvilane-waveform: /dev/null: cannot be read (not a regular file)\n"},
        {{"noise.m4a"}, 5, "", "corvilane-waveform: noise.m4a: not an audio file this tool can read\n"},
        {{"noise.wav"}, 5, "", "corvilane-waveform: noise.wav: not an audio file this tool can read\n"},
        {{"noise.wav", "--verbose"}, 5, "", "*\ncorvilane-waveform: noise.wav: not an audio file this tool can read\n"},
        {{"--", "-h"}, 0, "decoder:     libsndfile\n*", ""},
        {{"--start", "0.5", "clip.wav"}, 0, "decoder:*", "corvilane-waveform: note: libsndfile reads the whole file*"},
    };
    for (const Row& row : rows) {
        if (row.rootReadsIt && geteuid() == 0) continue;
        SCOPED_TRACE(testing::PrintToString(row.args));
        EXPECT_EQ(run(row.args), row.status);
        EXPECT_TRUE(matches(output(), row.out)) << output();
        EXPECT_TRUE(matches(errors(), row.err)) << errors();
    }
}

}  // namespace

// Loading files a Live set may hold, or a script may name: hostile headers,
// paths that are not regular files, numbers at the edges; and the own
// decoder's series end to end.
#include "AudioFiles.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>

namespace {

constexpr std::int64_t kSome = -2;  // any positive count
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

// A loopback port that must never see a connection.
class Listener {
public:
    Listener() : m_Socket(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)) {
        sockaddr_in address{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}};
        socklen_t size = sizeof address;
        bind(m_Socket, reinterpret_cast<sockaddr*>(&address), size);
        listen(m_Socket, 4);
        getsockname(m_Socket, reinterpret_cast<sockaddr*>(&address), &size);
        m_Port = ntohs(address.sin_port);
    }
    ~Listener() { close(m_Socket); }
    int port() const { return m_Port; }
    bool connected() const { return accept(m_Socket, nullptr, nullptr) >= 0; }

private:
    int m_Socket;
    int m_Port = 0;
};

struct Hostile {
    const char* what;
    std::function<std::string()> path;
    std::optional<std::int64_t> count;  // the series' length; none: no series
    float start = 0.0f;
    float length = 1.0f;
    bool interrupted = false;
    // Whether the whole series may be loaded too; a file that decodes to more
    // than is wise to hold is only analysed while it is decoded.
    bool wholeToo = true;
};

TEST(WaveformLoadTest, HostileFilesAndPathsNeitherCrashNorBlockNorConnect) {
    TempDir dir;
    Listener listener;
    const std::string port = std::to_string(listener.port());
    auto flac = [&](const std::string& name, std::size_t frames) {
        return writeSound(dir.file(name), 2, std::vector<float>(2 * frames, 0.25f), SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    };
    auto fifo = [&](const std::string& name) { return mkfifo(dir.file(name).c_str(), 0600), dir.file(name); };
    // 1000 frames that only FFmpeg reads, and an AAC stream whose channel
    // count changes from two to one and back.
    const std::string m4a = dir.file("clip.m4a");
    const std::string sine = "-f lavfi -i sine=frequency=440:duration=0.5:sample_rate=44100 ";
    ASSERT_TRUE(ffmpeg("-i " + writeSound(dir.file("clip.wav"), 1, std::vector<float>(1000, 0.5f)) + " -c:a alac " + m4a));
    ASSERT_TRUE(ffmpeg(sine + "-ac 2 -c:a aac " + dir.file("stereo.aac")) &&
                ffmpeg(sine + "-ac 1 -c:a aac " + dir.file("mono.aac")));
    ASSERT_EQ(std::system(("cat " + dir.file("stereo.aac") + " " + dir.file("mono.aac") + " " + dir.file("stereo.aac") +
                           " > " + dir.file("changing.aac")).c_str()), 0);
    const float odd[] = {kNaN, kInfinity, -kInfinity, 0.5f};
    // A FLAC written to a pipe does not tell its length: ten minutes of
    // silence in a few kilobytes.
    const std::string bomb = dir.file("silence.flac");
    ASSERT_TRUE(ffmpeg("-f lavfi -i anullsrc=r=44100:cl=mono -t 600 -c:a flac -f flac pipe:1 > " + bomb));
    // A live playlist (no end marker) and a concatenation list naming itself.
    writeFile(dir.file("live.mp3"), "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXT-X-MEDIA-SEQUENCE:0\n#EXTINF:1.0,\n" +
                                        dir.file("stereo.aac") + "\n");
    writeFile(dir.file("self.m4a"), "ffconcat version 1.0\nfile '" + dir.file("self.m4a") + "'\n");
    // A gigabyte that takes no disk.
    writeFile(dir.file("sparse.wav"), "");
    std::filesystem::resize_file(dir.file("sparse.wav"), std::uintmax_t{1} << 30);

    const Hostile cases[] = {
        {"FLAC of unknown length", [&] { return setFlacLength(flac("unknown.flac", 1000), 0); }, 1000},
        {"FLAC claiming 2^33 frames", [&] { return setFlacLength(flac("liar.flac", 16), 1ull << 33); }, 16},
        {"empty WAV", [&] { return writeSound(dir.file("empty.wav"), 1, {}); }, 0},
        {"NaN and infinite samples",
         [&] { return writeSound(dir.file("odd.wav"), 1, {odd, odd + 4}, SF_FORMAT_WAV | SF_FORMAT_FLOAT); }, 4},
        {"ADTS whose channels change", [&] { return dir.file("changing.aac"); }, kSome},
        {"http URL", [&] { return "http://127.0.0.1:" + port + "/clip.m4a"; }, std::nullopt},
        {"tcp URL", [&] { return "tcp://127.0.0.1:" + port; }, std::nullopt},
        {"concat of local files", [&] { return "concat:" + m4a + "|" + m4a; }, std::nullopt},
        {"FIFO named .m4a", [&] { return fifo("pipe.m4a"); }, std::nullopt},
        {"FIFO named .flac", [&] { return fifo("pipe.flac"); }, std::nullopt},
        {"FIFO named .wav", [&] { return fifo("pipe.wav"); }, std::nullopt},
        {"directory named .wav", [&] { return std::filesystem::create_directory(dir.file("dir.wav")), dir.file("dir.wav"); },
         std::nullopt},
        {"link to /dev/zero named .wav",
         [&] { return std::filesystem::create_symlink("/dev/zero", dir.file("zero.wav")), dir.file("zero.wav"); },
         std::nullopt},
        {"NaN start", [&] { return m4a; }, 1000, kNaN, 1.0f},
        {"NaN length", [&] { return m4a; }, 0, 0.0f, kNaN},
        {"infinite start", [&] { return m4a; }, 0, kInfinity, 1.0f},
        {"huge length", [&] { return m4a; }, 1000, 0.0f, 1e30f},
        {"load interrupted", [&] { return flac("long.flac", 100000); }, std::nullopt, 0.0f, 1.0f, true},
        {"FLAC of unknown length, ten minutes of silence", [&] { return bomb; }, 26460000, 0.0f, 1.0f, false, false},
        {"live playlist named .mp3", [&] { return dir.file("live.mp3"); }, std::nullopt},
        {"concatenation list naming itself", [&] { return dir.file("self.m4a"); }, std::nullopt},
        {"sparse gigabyte named .wav", [&] { return dir.file("sparse.wav"); }, std::nullopt},
    };
    for (const Hostile& c : cases) {
        SCOPED_TRACE(c.what);
        auto analyzer = productionAnalyzer();
        if (c.interrupted) analyzer->set_interrupt([] { return true; });
        std::int64_t count = -1;
        const std::string path = c.path();
        // Analysing while decoding takes (or refuses) the file alike.
        auto analyse = [&] { return analyzer->analyze_file(path.c_str(), c.start, c.length); };
        if (!c.wholeToo) {
            const auto analysed = analyse().series;
            ASSERT_TRUE(analysed.has_value());
            EXPECT_EQ(analysed->count, *c.count);
            continue;
        }
        const float* samples = analyzer->load_file(path.c_str(), &count, c.start, c.length);
        ASSERT_EQ(samples != nullptr, c.count.has_value());
        if (samples == nullptr) {
            EXPECT_FALSE(analyse().series.has_value());
            continue;
        }
        if (*c.count == kSome) {
            EXPECT_GT(count, 0);
        } else {
            EXPECT_EQ(count, *c.count);
        }
        EXPECT_TRUE(std::all_of(samples, samples + count, [](float sample) { return std::isfinite(sample); }));
        const auto analysed = analyse().series;
        ASSERT_TRUE(analysed.has_value());
        EXPECT_EQ(analysed->count, count);
    }
    EXPECT_FALSE(listener.connected());
}

// WAV files that only the own decoder reads: a mono file keeps its full
// amplitude, a stereo file gives the mean of its channels.
TEST(WaveformLoadTest, OwnDecoderSeriesReachTheAnalysesThroughLoadFile) {
    struct Case {
        int channels;
        std::vector<std::int16_t> samples;
        std::vector<float> series;
    };
    TempDir dir;
    for (const Case& c : {Case{1, {16384, -32768, 32767}, {0.5f, -1.0f, 32767.0f / 32768}},
                          Case{2, {16384, -16384, -32768, 0}, {0.0f, -0.5f}}}) {
        auto analyzer = productionAnalyzer();
        std::int64_t count = 0;
        const float* samples = analyzer->load_file(writeDataFirstWav(dir.file("only-ours.wav"), c.channels, c.samples).c_str(),
                                                   &count, 0.0f, 1.0f);
        ASSERT_NE(samples, nullptr) << c.channels;
        EXPECT_EQ(analyzer->decoder(), waveform::Decoder::WavAiff);
        EXPECT_EQ(std::vector<float>(samples, samples + count), c.series) << c.channels;
    }
}

}  // namespace

// Waveform analysis on a 10-minute stereo 44.1 kHz 16-bit WAV and on a
// 10-minute AAC/M4A made from it: decoding alone, the whole load and both
// analyses, and the literal single-threaded reference; each measured in a
// process of its own for its peak resident memory. Then the Live script's
// clip request for the WAV, first and repeated, and the load of a FLAC whose
// header does not give its length.
// Usage: corvilane_bench_waveform [MINUTES]
#include "FakeRoles.h"
#include "LinuxAnalyzer.h"
#include "LiteralAnalysis.h"
#include "WaveformAnalyzer.h"
#include "WaveformRequests.h"

#include <oscpack/osc/OscOutboundPacketStream.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 5;

enum class Mode { DecodeOnly, Product, Literal };

struct Result {
    double loadSeconds = 0;
    double analysisSeconds = 0;
    double waveSeconds = 0;
    double peakMiB = 0;
    std::int64_t frames = 0;
};

double seconds(Clock::duration span) { return std::chrono::duration<double>(span).count(); }

void writeStereo(const std::string& path, int minutes, int format) {
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    std::vector<float> block(2 * 44100);
    std::uint32_t state = 1;
    for (int second = 0; second < minutes * 60; ++second) {
        for (int i = 0; i < 44100; ++i) {
            state = state * 1664525u + 1013904223u;
            const float noise = static_cast<float>(state >> 8) / static_cast<float>(1u << 24) - 0.5f;
            const float t = static_cast<float>(second * 44100 + i) / 44100.0f;
            const float tone = 0.4f * std::sin(6.2831853f * (110.0f + 40.0f * static_cast<float>(second % 7)) * t);
            block[2 * static_cast<std::size_t>(i)] = tone + 0.1f * noise;
            block[2 * static_cast<std::size_t>(i) + 1] = 0.5f * tone - 0.1f * noise;
        }
        sf_writef_float(file, block.data(), 44100);
    }
    sf_close(file);
}

Result measure(const std::string& path, Mode mode) {
    Result result;
    const std::unique_ptr<WaveformAnalyzer> made = makeLinuxAnalyzer();
    WaveformAnalyzer& analyzer = *made;
    std::int64_t count = 0;
    const auto started = Clock::now();
    const float* samples = analyzer.load_file(path.c_str(), &count, 0.0f, 1.0f);
    const auto loaded = Clock::now();
    result.loadSeconds = seconds(loaded - started);
    result.frames = count;
    if (samples == nullptr) return result;
    if (mode == Mode::Product) {
        // The best of a few rounds: the analyses run on every core, and a
        // core busy with something else for a moment would double one round.
        result.waveSeconds = result.analysisSeconds = 1e9;
        for (int round = 0; round < kRounds; ++round) {
            const auto begun = Clock::now();
            std::vector<char> buffer(262144);
            osc::OutboundPacketStream wave(buffer.data(), buffer.size());
            wave << osc::BeginMessage("/w");
            analyzer.analyze_wave(samples, count, wave);
            const auto waved = Clock::now();
            osc::OutboundPacketStream intensity(buffer.data(), buffer.size());
            intensity << osc::BeginMessage("/i");
            analyzer.analyze_intensity(samples, count, intensity);
            result.waveSeconds = std::min(result.waveSeconds, seconds(waved - begun));
            result.analysisSeconds = std::min(result.analysisSeconds, seconds(Clock::now() - begun));
        }
    } else if (mode == Mode::Literal) {
        const auto wave = literal::analyze_wave(samples, count);
        result.waveSeconds = seconds(Clock::now() - loaded);
        const auto intensity = literal::analyze_intensity(samples, count, analyzer.sample_rate);
        std::fprintf(stderr, "%s", wave.empty() || intensity.empty() ? "?" : "");
        result.analysisSeconds = seconds(Clock::now() - loaded);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    result.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    return result;
}

// The clip request as the Live script sends it, answered twice through the
// server's request handling: the second time the file is unchanged.
Result repeatRequest(const std::string& path) {
    Result result;
    FakeRoles links;
    WaveformRequests requests(links, makeLinuxAnalyzer());
    std::vector<char> buffer(4096);
    osc::OutboundPacketStream request(buffer.data(), buffer.size());
    request << osc::BeginMessage("/clip/reset_waveform") << 1 << 2 << path.c_str() << 0.0f << 1.0f
            << osc::EndMessage;
    const ReceivedOscMessage message(osc::ReceivedPacket(request.Data(), request.Size()));
    const auto started = Clock::now();
    requests.clip(message);
    const auto first = Clock::now();
    const auto replies = links.deliveries();
    links.clear();
    requests.clip(message);
    result.loadSeconds = seconds(first - started);
    result.analysisSeconds = seconds(Clock::now() - first);
    result.frames = !replies.empty() && links.deliveries() == replies ? 1 : 0;  // byte-identical
    return result;
}

// Runs one measurement in a child process, so that its peak memory is its own.
template <class Measurement = Result (*)(const std::string&, Mode)>
Result inChild(const std::string& path, Mode mode, Measurement measurement = measure) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) std::exit(1);
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        std::fclose(stdout);  // the decoders' own lines
        const Result result = measurement(path, mode);
        (void)!write(pipeEnds[1], &result, sizeof result);
        _exit(0);
    }
    close(pipeEnds[1]);  // a child that dies leaves the pipe empty
    Result result;
    if (read(pipeEnds[0], &result, sizeof result) != sizeof result) result.frames = -1;
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFSIGNALED(status)) std::printf("  (the measuring process ended by signal %d)\n", WTERMSIG(status));
    close(pipeEnds[0]);
    return result;
}

void report(const char* name, const std::string& path) {
    const Result decode = inChild(path, Mode::DecodeOnly);
    const Result product = inChild(path, Mode::Product);
    const Result reference = inChild(path, Mode::Literal);
    const double seriesMiB = 4.0 * static_cast<double>(decode.frames) / (1024.0 * 1024.0);
    std::printf("%s: %lld frames, mono series %.1f MiB\n", name, static_cast<long long>(decode.frames), seriesMiB);
    std::printf("  decode only:            %7.3f s                      peak %6.1f MiB\n", decode.loadSeconds,
                decode.peakMiB);
    std::printf("  load + both analyses:   %7.3f s (analyses, best of %d: %.3f s: waveform %.3f s)  peak %6.1f MiB\n",
                product.loadSeconds + product.analysisSeconds, kRounds, product.analysisSeconds, product.waveSeconds,
                product.peakMiB);
    std::printf("  literal reference:      %7.3f s (analyses %.3f s: waveform %.3f s)  peak %6.1f MiB\n",
                reference.loadSeconds + reference.analysisSeconds, reference.analysisSeconds,
                reference.waveSeconds, reference.peakMiB);
    std::printf("  analyses / decode only: %.2f (target <= 0.30)\n", product.analysisSeconds / decode.loadSeconds);
    std::printf("  reference / analyses:   %.1fx (target >= 3)\n", reference.analysisSeconds / product.analysisSeconds);
    std::printf("  peak / (1.2 series + 32 MiB): %.2f (target <= 1)\n", product.peakMiB / (1.2 * seriesMiB + 32.0));
}

void reportRepeat(const std::string& path) {
    const Result repeat = inChild(path, Mode::Product, [](const std::string& file, Mode) { return repeatRequest(file); });
    std::printf("Clip request for the WAV: first %.3f s, repeated %.6f s: %.0fx faster (target >= 100), replies %s\n",
                repeat.loadSeconds, repeat.analysisSeconds, repeat.loadSeconds / repeat.analysisSeconds,
                repeat.frames == 1 ? "byte-identical" : "DIFFERENT");
}

// A FLAC whose STREAMINFO gives the total length as 0, "unknown", as
// streaming encoders write it: the 36-bit count sits in the low nibble of
// byte 21 and bytes 22-25 of the file.
void reportUnknownLengthFlac(const std::string& path, std::int64_t realFrames) {
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        char bytes[26];
        file.read(bytes, sizeof bytes);
        bytes[21] = static_cast<char>(bytes[21] & 0xF0);
        for (int i = 22; i < 26; ++i) bytes[i] = 0;
        file.seekp(0);
        file.write(bytes, sizeof bytes);
    }
    const Result load = inChild(path, Mode::DecodeOnly);
    const double seriesMiB = 4.0 * static_cast<double>(realFrames) / (1024.0 * 1024.0);
    std::printf("FLAC of unknown length (%lld frames, mono series %.1f MiB): load %.3f s, %lld frames, peak %.1f MiB; "
                "peak / (1.2 series + 32 MiB): %.2f (target <= 1)\n",
                static_cast<long long>(realFrames), seriesMiB, load.loadSeconds, static_cast<long long>(load.frames),
                load.peakMiB, load.peakMiB / (1.2 * seriesMiB + 32.0));
}

}  // namespace

int main(int argc, char* argv[]) {
    const int minutes = argc > 1 ? std::atoi(argv[1]) : 10;
    const auto dir = std::filesystem::temp_directory_path() / ("corvilane-waveform-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string wav = (dir / "long.wav").string();
    const std::string m4a = (dir / "long.m4a").string();
    writeStereo(wav, minutes, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    report("WAV (libsndfile)", wav);
    reportRepeat(wav);
    const std::string encode = "ffmpeg -loglevel error -y -i '" + wav + "' -c:a aac -b:a 192k '" + m4a + "'";
    if (std::system(encode.c_str()) == 0) {
        report("AAC/M4A (FFmpeg)", m4a);
    } else {
        std::printf("AAC/M4A: ffmpeg could not make the file; skipped\n");
    }
    const std::string flac = (dir / "unknown-length.flac").string();
    writeStereo(flac, minutes, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    reportUnknownLengthFlac(flac, static_cast<std::int64_t>(minutes) * 60 * 44100);
    std::filesystem::remove_all(dir);
    return 0;
}

// corvilane-waveform side by side with BBC audiowaveform, the open-source
// waveform tool (min/max only, no spectral colour), on stereo 44.1 kHz WAV,
// FLAC and MP3 files of 10 and 60 minutes that the benchmark writes itself:
// the median wall time of several runs of each program and its peak resident
// memory (from the rusage of the child process). Then the server's request
// path (the Live script's clip request, answered in-process) against a bare
// single-threaded libsndfile float read of the 10-minute WAV, the peak
// memory of the request path on the 60-minute WAV and on a 1-second file, and
// its time and peak memory on hostile files (a FLAC bomb, sparse gigabytes,
// a live playlist and a concatenation list that names itself).
//
// Usage: corvilane_bench_peer_waveform [AUDIOWAVEFORM] [--tool PATH] [--runs N] [--minutes A,B,...]
//                                      [--hostile-only]
// Without AUDIOWAVEFORM, audiowaveform is looked for in ../shared/peers/audiowaveform/ beside
// the repository, then on PATH; when none is found or it cannot run, one line
// says so and its columns are left out. The tool defaults to the
// corvilane-waveform of this build.
#include "ChildRun.h"
#include "Logger.h"
#include "RequestPathCases.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

using childrun::execQuietly;
using childrun::inChild;
using childrun::medianOf;
using childrun::Run;
using requestpath::bareRead;
using requestpath::clipRequest;
using requestpath::hostileFiles;

struct Options {
    std::string peer;  // empty: looked for
    std::string tool = CORVILANE_WAVEFORM_TOOL_PATH;
    int runs = 5;
    std::vector<int> minutes{10, 60};
    bool hostileOnly = false;
};

// Tone and noise, a different tone each second, the two channels unlike.
bool writeStereo(const std::string& path, int seconds, int format) {
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = format;
    if (sf_format_check(&info) == 0) return false;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) return false;
    std::vector<float> block(2 * 44100);
    std::uint32_t state = 1;
    for (int second = 0; second < seconds; ++second) {
        for (int i = 0; i < 44100; ++i) {
            state = state * 1664525u + 1013904223u;
            const float noise = static_cast<float>(state >> 8) / static_cast<float>(1u << 24) - 0.5f;
            const float t = static_cast<float>(i) / 44100.0f;
            const float tone = 0.4f * std::sin(6.2831853f * (110.0f + 40.0f * static_cast<float>(second % 7)) * t);
            block[2 * static_cast<std::size_t>(i)] = tone + 0.1f * noise;
            block[2 * static_cast<std::size_t>(i) + 1] = 0.5f * tone - 0.1f * noise;
        }
        sf_writef_float(file, block.data(), 44100);
    }
    sf_close(file);
    return true;
}

std::int64_t framesOf(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) return 0;
    sf_close(file);
    return info.frames;
}

bool peerRuns(const std::string& peer) {
    return access(peer.c_str(), X_OK) == 0 && inChild([&] { return execQuietly({peer, "--version"}); }).seconds >= 0;
}

// audiowaveform beside the repository, else the first on PATH; empty when
// neither is there.
std::string findPeer() {
    const std::string beside = CORVILANE_PEER_WAVEFORM_PATH;
    if (access(beside.c_str(), X_OK) == 0) return beside;
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = (folder.empty() ? std::string(".") : folder) + "/audiowaveform";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

void compare(const Options& options, bool withPeer, const std::string& name, const std::string& path,
             const std::string& dir, std::vector<double>& ratios) {
    const std::int64_t frames = framesOf(path);
    // About 30000 points, as the analyzer makes.
    const std::int64_t perPixel = std::max<std::int64_t>(1, (frames + 29999) / 30000);
    const Run ours = medianOf(options.runs, [&] { return execQuietly({options.tool, path}); });
    Run peer;
    if (withPeer) {
        peer = medianOf(options.runs, [&] {
            return execQuietly(
                {options.peer, "-q", "-i", path, "-o", dir + "/out.dat", "-z", std::to_string(perPixel), "-b", "16"});
        });
    }
    if (ours.seconds < 0) {
        std::printf("%-13s corvilane-waveform failed\n", name.c_str());
        return;
    }
    if (peer.seconds > 0) {
        ratios.push_back(ours.seconds / peer.seconds);
        std::printf("%-13s %8.3f s %7.1f MiB   %8.3f s %7.1f MiB   %5.2f\n", name.c_str(), peer.seconds, peer.peakMiB,
                    ours.seconds, ours.peakMiB, ours.seconds / peer.seconds);
    } else {
        std::printf("%-13s %8s   %7s       %8.3f s %7.1f MiB\n", name.c_str(), "-", "-", ours.seconds, ours.peakMiB);
    }
}

bool parse(int argc, char* argv[], Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--tool" && hasValue) {
            options.tool = argv[++i];
        } else if (argument == "--hostile-only") {
            options.hostileOnly = true;
        } else if (argument == "--runs" && hasValue) {
            options.runs = std::max(1, std::atoi(argv[++i]));
        } else if (argument == "--minutes" && hasValue) {
            options.minutes.clear();
            std::stringstream list(argv[++i]);
            for (std::string item; std::getline(list, item, ',');)
                options.minutes.push_back(std::max(1, std::stoi(item)));
        } else if (argument.rfind("--", 0) != 0) {
            options.peer = argument;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    CLogger::init("/dev/null");  // the request path logs as the server's does
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: corvilane_bench_peer_waveform [AUDIOWAVEFORM] [--tool PATH] [--runs N] [--minutes A,B] "
                     "[--hostile-only]\n");
        return 2;
    }
    const auto dir = std::filesystem::temp_directory_path() / ("corvilane-peer-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    if (options.hostileOnly) {
        const std::string second = (dir / "1s.wav").string();
        writeStereo(second, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        hostileFiles(dir, medianOf(options.runs, [&] { return clipRequest(second); }));
        std::filesystem::remove_all(dir);
        return 0;
    }
    if (options.peer.empty()) options.peer = findPeer();
    const bool withPeer = !options.peer.empty() && peerRuns(options.peer);
    if (options.peer.empty()) {
        std::printf("audiowaveform not compared: not found in %s nor on PATH (give its path as the first argument)\n",
                    CORVILANE_PEER_WAVEFORM_PATH);
    } else if (!withPeer) {
        std::printf("audiowaveform not compared: %s cannot run here (see the README beside it for its packages)\n",
                    options.peer.c_str());
    }
    std::printf("median of %d runs; peak = largest resident memory of a run; ratio = ours / audiowaveform\n",
                options.runs);
    std::printf("%-13s %-24s %-24s %s\n", "file", "audiowaveform", "corvilane-waveform", "ratio");
    std::vector<double> ratios;
    std::vector<double> longRatios;
    std::string tenMinuteWav;
    std::string longestWav;
    struct Format {
        const char* name;
        const char* ending;
        int format;
    };
    const Format formats[] = {{"WAV", "wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
                              {"FLAC", "flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                              {"MP3", "mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III}};
    for (const int minutes : options.minutes) {
        for (const Format& format : formats) {
            const std::string path = (dir / (std::to_string(minutes) + "min." + format.ending)).string();
            const std::string name = std::to_string(minutes) + "-min " + format.name;
            if (!writeStereo(path, minutes * 60, format.format)) {
                std::printf("%-13s libsndfile cannot write it here: skipped\n", name.c_str());
                continue;
            }
            compare(options, withPeer, name, path, dir.string(), minutes >= 60 ? longRatios : ratios);
            if (format.format == formats[0].format) {
                if (minutes == 10) tenMinuteWav = path;
                longestWav = path;
            } else {
                std::filesystem::remove(path);
            }
        }
    }
    ratios.insert(ratios.end(), longRatios.begin(), longRatios.end());
    if (!ratios.empty()) {
        std::printf("largest ratio %.2f (target < 1.0); on 60-minute files %.2f (target <= 0.7)\n",
                    *std::max_element(ratios.begin(), ratios.end()),
                    longRatios.empty() ? 0.0 : *std::max_element(longRatios.begin(), longRatios.end()));
    }

    const std::string second = (dir / "1s.wav").string();
    writeStereo(second, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    const Run toolSecond = medianOf(options.runs, [&] { return execQuietly({options.tool, second}); });
    const Run requestSecond = medianOf(options.runs, [&] { return clipRequest(second); });
    if (!longestWav.empty()) {
        const Run toolLong = medianOf(1, [&] { return execQuietly({options.tool, longestWav}); });
        const Run requestLong = medianOf(1, [&] { return clipRequest(longestWav); });
        std::printf(
            "peak memory above a 1-second file, longest WAV (target <= 16 MiB): tool %.1f MiB (%.1f - %.1f), "
            "request path %.1f MiB (%.1f - %.1f)\n",
            toolLong.peakMiB - toolSecond.peakMiB, toolLong.peakMiB, toolSecond.peakMiB,
            requestLong.peakMiB - requestSecond.peakMiB, requestLong.peakMiB, requestSecond.peakMiB);
    }
    if (!tenMinuteWav.empty()) {
        const Run request = medianOf(options.runs, [&] { return clipRequest(tenMinuteWav); });
        // A file of another identity, so that the request after it is not
        // answered from the cache.
        const std::string other = (dir / "10min-copy.wav").string();
        std::filesystem::copy_file(tenMinuteWav, other);
        const Run running = medianOf(options.runs, [&] { return clipRequest(tenMinuteWav, other); });
        const Run bare = medianOf(options.runs, [&] { return bareRead(tenMinuteWav); });
        // Each timed inside its process: the request from its arrival to the
        // last reply, the read from sf_open to sf_close.
        std::printf("10-min WAV: bare libsndfile float read %.3f s; clip request as the first of a fresh process "
                    "%.3f s: %.2f, after another such request %.3f s: %.2f (target <= 0.75)\n",
                    bare.seconds, request.seconds, request.seconds / bare.seconds, running.seconds,
                    running.seconds / bare.seconds);
    }
    hostileFiles(dir, requestSecond);
    std::filesystem::remove_all(dir);
    return 0;
}

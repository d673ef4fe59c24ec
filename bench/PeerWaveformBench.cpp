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
#include "FakeRoles.h"
#include "Logger.h"
#include "LinuxAnalyzer.h"
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
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    double seconds = -1;  // negative: the program failed
    double peakMiB = 0;
};

struct Options {
    std::string peer;  // empty: looked for
    std::string tool = CORVILANE_WAVEFORM_TOOL_PATH;
    int runs = 5;
    std::vector<int> minutes{10, 60};
    bool hostileOnly = false;
};

double median(std::vector<double> values) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : 0.5 * (values[middle - 1] + values[middle]);
}

// Where a child that times its own work writes the seconds (see timed()).
int g_TimeOut = -1;

// Runs `work` in a child process: its wall time (measured here, from fork to
// exit, unless the child reports its own) and its peak resident memory.
// `work` returns the exit status.
Run inChild(const std::function<int()>& work) {
    int ends[2];
    if (pipe(ends) != 0) return {};
    std::fflush(stdout);
    const auto started = Clock::now();
    const pid_t child = fork();
    if (child < 0) return {};
    if (child == 0) {
        close(ends[0]);
        g_TimeOut = ends[1];
        _exit(work());
    }
    close(ends[1]);
    int status = 0;
    rusage usage{};
    const bool waited = wait4(child, &status, 0, &usage) == child;
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    double reported = 0;
    if (read(ends[0], &reported, sizeof reported) == sizeof reported) seconds = reported;
    close(ends[0]);
    if (!waited || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    return {seconds, static_cast<double>(usage.ru_maxrss) / 1024.0};
}

// Runs `part` and reports its own time to the parent.
template <class Part>
int timed(Part part) {
    const auto started = Clock::now();
    const int status = part();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    (void)!write(g_TimeOut, &seconds, sizeof seconds);
    return status;
}

int execQuietly(const std::vector<std::string>& command) {
    std::vector<char*> arguments;
    for (const std::string& argument : command) arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    if (std::freopen("/dev/null", "w", stdout) == nullptr || std::freopen("/dev/null", "w", stderr) == nullptr) {
        return 126;
    }
    execv(arguments[0], arguments.data());
    return 127;
}

// The median time and the largest peak of `runs` runs.
Run medianOf(int runs, const std::function<int()>& work) {
    std::vector<double> times;
    Run result;
    for (int i = 0; i < runs; ++i) {
        const Run run = inChild(work);
        if (run.seconds < 0) return {};
        times.push_back(run.seconds);
        result.peakMiB = std::max(result.peakMiB, run.peakMiB);
    }
    result.seconds = median(times);
    return result;
}

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

// What the Live script sends for a clip, answered through the server's
// request handling as the script connection does.
// With `before`, a request for that file is answered first, untimed: the
// timed request then meets a server that has run (threads, caches, memory
// already in use), as every request but the first does.
int clipRequest(const std::string& path, const std::string& before = {}) {
    FakeRoles links;
    WaveformRequests requests(links, makeLinuxAnalyzer());
    auto ask = [&](const std::string& file) {
        std::vector<char> buffer(4096);
        osc::OutboundPacketStream request(buffer.data(), buffer.size());
        request << osc::BeginMessage("/clip/reset_waveform") << 1 << 2 << file.c_str() << 0.0f << 1.0f
                << osc::EndMessage;
        const ReceivedOscMessage message(osc::ReceivedPacket(request.Data(), request.Size()));
        links.clear();
        requests.clipArrived(message);
        requests.clip(message);
        return links.deliveries().size() == 4 ? 0 : 1;
    };
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    if (!before.empty() && ask(before) != 0) return 1;
    // The server's analyzer is made once, with the script connection: only
    // the request is timed.
    return timed([&] { return ask(path); });
}

// A request for a file that may well not load: answered whatever the outcome.
int anyRequest(const std::string& path) {
    FakeRoles links;
    WaveformRequests requests(links, makeLinuxAnalyzer());
    std::vector<char> buffer(4096);
    osc::OutboundPacketStream request(buffer.data(), buffer.size());
    request << osc::BeginMessage("/clip/reset_waveform") << 1 << 2 << path.c_str() << 0.0f << 1.0f << osc::EndMessage;
    const ReceivedOscMessage message(osc::ReceivedPacket(request.Data(), request.Size()));
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    return timed([&] {
        requests.clipArrived(message);
        requests.clip(message);
        return links.deliveries().size() >= 2 ? 0 : 1;
    });
}

// Files that are not what they seem, made here, through the request path:
// its time and its peak memory above that of a request for a 1-second file.
void hostileFiles(const std::filesystem::path& dir, const Run& second) {
    const std::string bomb = (dir / "silence.flac").string();
    const std::string sparse = (dir / "sparse.wav").string();
    const std::string sparseWav = (dir / "sparse-with-header.wav").string();
    const std::string playlist = (dir / "live.mp3").string();
    const std::string concat = (dir / "self.m4a").string();
    // Four hours of silence written to a pipe: a FLAC that does not tell its length.
    if (std::system(("ffmpeg -loglevel error -y -f lavfi -i anullsrc=r=44100:cl=stereo -t 14400 -c:a flac -f flac "
                     "pipe:1 > " + bomb + " </dev/null").c_str()) != 0) {
        std::printf("hostile files: ffmpeg cannot make them here: skipped\n");
        return;
    }
    std::ofstream(sparse).close();
    std::filesystem::resize_file(sparse, std::uintmax_t{1} << 30);
    {
        // A 16-bit stereo WAV header whose data chunk is the rest of a sparse gigabyte.
        SF_INFO info{.frames = 0, .samplerate = 44100, .channels = 2, .format = SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                     .sections = 0, .seekable = 0};
        sf_close(sf_open(sparseWav.c_str(), SFM_WRITE, &info));
        std::filesystem::resize_file(sparseWav, std::uintmax_t{1} << 30);
        std::fstream header(sparseWav, std::ios::in | std::ios::out | std::ios::binary);
        const std::uint32_t riff = (1u << 30) - 8, data = (1u << 30) - 44;
        header.seekp(4).write(reinterpret_cast<const char*>(&riff), 4);
        header.seekp(40).write(reinterpret_cast<const char*>(&data), 4);
    }
    std::ofstream(playlist) << "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\n" << bomb << "\n";
    std::ofstream(concat) << "ffconcat version 1.0\nfile '" << concat << "'\n";
    std::printf("hostile files through the request path (peak memory above a 1-second file's %.1f MiB):\n",
                second.peakMiB);
    const std::pair<const char*, std::string> files[] = {
        {"4-hour silent FLAC of unknown length, 2.2 MB", bomb},
        {"sparse 1 GiB named .wav", sparse},
        {"sparse 1 GiB behind a WAV header", sparseWav},
        {"live HLS playlist named .mp3", playlist},
        {"ffconcat list naming itself", concat},
    };
    for (const auto& [name, path] : files) {
        const Run run = medianOf(1, [&, file = path] { return anyRequest(file); });
        std::printf("  %-46s %8.3f s %7.1f MiB\n", name, run.seconds, run.peakMiB - second.peakMiB);
    }
}

// Every frame as interleaved floats, one thread, nothing kept.
int bareRead(const std::string& path) {
    return timed([&] {
        SF_INFO info{};
        SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
        if (file == nullptr) return 1;
        std::vector<float> block(static_cast<std::size_t>(65536 * info.channels));
        float sink = 0;
        while (const sf_count_t got = sf_readf_float(file, block.data(), 65536)) {
            sink += block[static_cast<std::size_t>(got - 1)];
        }
        sf_close(file);
        return std::isnan(sink) ? 2 : 0;
    });
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

#include "StageCases.h"

#include "ShapedLink.h"
#include "SimulatedTablet.h"

#include <oscpack/osc/OscOutboundPacketStream.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

namespace stage {

bool writeStereo(const std::string& path, int seconds, int format) {
    SF_INFO info{.frames = 0, .samplerate = 44100, .channels = 2, .format = format, .sections = 0, .seekable = 0};
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) return false;
    std::vector<float> block(2 * 44100);
    std::uint32_t state = 1;
    for (int second = 0; second < seconds; ++second) {
        for (std::size_t i = 0; i < 44100; ++i) {
            state = state * 1664525u + 1013904223u;
            const float noise = static_cast<float>(state >> 8) / static_cast<float>(1u << 24) - 0.5f;
            const float t = static_cast<float>(i) / 44100.0f;
            const float tone = 0.4f * std::sin(6.2831853f * (110.0f + 40.0f * static_cast<float>(second % 7)) * t);
            block[2 * i] = tone + 0.1f * noise;
            block[2 * i + 1] = 0.5f * tone - 0.1f * noise;
        }
        sf_writef_float(file, block.data(), 44100);
    }
    sf_close(file);
    return true;
}

std::string clipRequest(std::int32_t clip, const std::string& path) {
    char buffer[1024];
    osc::OutboundPacketStream out(buffer, sizeof buffer);
    out << osc::BeginMessage("/clip/reset_waveform") << clip << osc::int32(0) << path.c_str() << 0.0f << 1.0f
        << osc::EndMessage;
    return std::string(out.Data(), out.Size());
}

namespace {

using SteadyClock = std::chrono::steady_clock;

std::string ordinary(std::int32_t sequence) {
    return osctest::encode({"/bench/ordinary", {sequence, std::string(60, 'x')}});
}

// What a tablet saw of one set's waveforms.
struct SetResult {
    bool kept = false;               // its session still answered afterwards
    std::size_t replies = 0;         // series and closing brackets received
    bool inOrder = true;             // each request's replies whole, in request order
    std::vector<double> ordinaryMs;  // how long each ordinary message took
    double seconds = 0;
};

// The series and closing bracket of each clip, clip after clip.
class ReplyOrder {
public:
    // False when `message` is a reply out of its place.
    bool take(const osctest::Message& message) {
        static const char* const kSteps[] = {"/clip/update_waveform", "/clip/update_waveform_intensity",
                                             "/clip/updated_waveform"};
        const int clip = std::get<std::int32_t>(message.arguments.at(0));
        const bool closing = message.address == kSteps[2];
        const bool fits = clip == m_Clip && (message.address == kSteps[m_Step] || (closing && m_Step == 0));
        ++m_Replies;
        if (closing) {
            ++m_Clip;
            m_Step = 0;
        } else {
            m_Step = std::min(m_Step + 1, 2);
        }
        return fits;
    }
    int closed() const { return m_Clip; }
    std::size_t replies() const { return m_Replies; }

private:
    int m_Clip = 0;
    int m_Step = 0;
    std::size_t m_Replies = 0;
};

// The script asks for every clip's waveforms, then sends an ordinary message
// every 10 ms until the tablet has every closing bracket (or has lost its
// session); the tablet times each ordinary message.
SetResult askForSet(SimulatedTablet& ipad, const ScriptSend& send, const std::vector<std::string>& clips) {
    constexpr std::size_t kMostOrdinary = 100000;
    auto sentAt = std::make_unique<std::atomic<std::int64_t>[]>(kMostOrdinary);
    const auto now = [] { return SteadyClock::now().time_since_epoch().count(); };
    SetResult result;
    std::atomic<bool> over{false};
    ReplyOrder order;
    std::thread reading([&] {
        while (order.closed() < static_cast<int>(clips.size())) {
            const auto message = ipad.readMessage(std::chrono::seconds(15));
            if (!message) break;
            if (message->address == "/bench/ordinary") {
                const auto sequence = static_cast<std::size_t>(std::get<std::int32_t>(message->arguments[0]));
                result.ordinaryMs.push_back(static_cast<double>(now() - sentAt[sequence].load()) / 1e6);
            } else if (message->address.rfind("/clip/update", 0) == 0) {
                result.inOrder = order.take(*message) && result.inOrder;
            }
        }
        over = true;
    });
    const auto started = SteadyClock::now();
    for (std::size_t i = 0; i < clips.size(); ++i) send(clipRequest(static_cast<std::int32_t>(i), clips[i]));
    for (std::int32_t sequence = 0; !over && static_cast<std::size_t>(sequence) < kMostOrdinary; ++sequence) {
        sentAt[static_cast<std::size_t>(sequence)] = now();
        send(ordinary(sequence));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    reading.join();
    result.seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();
    result.replies = order.replies();
    ipad.sendMessage({"/server/getstate", {}});
    result.kept = ipad.waitFor("/server/state", std::chrono::seconds(5)).has_value();
    return result;
}

void report(const char* what, const SetResult& result, std::size_t expected) {
    std::vector<double> ms = result.ordinaryMs;
    std::sort(ms.begin(), ms.end());
    std::printf("  %-44s tablet %s, %zu of %zu replies%s, in %.1f s", what, result.kept ? "kept" : "DROPPED",
                result.replies, expected, result.inOrder ? " in order" : " OUT OF ORDER", result.seconds);
    if (!ms.empty()) {
        std::printf("; ordinary messages: median %.1f ms, p99 %.1f ms, worst %.1f ms", ms[ms.size() / 2],
                    ms[ms.size() * 99 / 100], ms.back());
    }
    std::printf("\n");
}

}  // namespace

void slowLink(std::uint16_t port, const ScriptSend& send, const std::filesystem::path& dir) {
    ShapedLink link("20mbit");
    if (!link.unavailable().empty()) {
        std::printf("slow link: skipped: %s\n", link.unavailable().c_str());
        return;
    }
    constexpr int kClips = 40;
    std::vector<std::string> clips{(dir / "set0.wav").string()};
    if (!writeStereo(clips[0], 180, SF_FORMAT_WAV | SF_FORMAT_PCM_16)) {
        std::printf("slow link: cannot write WAV files: skipped\n");
        return;
    }
    // Copies are other files to the server: none is answered from its cache.
    for (int i = 1; i < kClips; ++i) {
        clips.push_back((dir / ("set" + std::to_string(i) + ".wav")).string());
        std::filesystem::copy_file(clips[0], clips.back());
    }
    std::unique_ptr<SimulatedTablet> ipad;
    link.inside([&] { ipad = std::make_unique<SimulatedTablet>(link.serverAddress(), port); });
    ipad->sendMessage({"/server/ping", {1}});
    if (!ipad->waitFor("/server/pong", std::chrono::seconds(5))) {
        std::printf("slow link: the tablet behind the link got no session: skipped\n");
        return;
    }
    std::printf("a tablet behind a shaped link (tc tbf), the script sending an ordinary message every 10 ms:\n");
    report("40 3-minute clips at 20 Mbit/s:", askForSet(*ipad, send, clips), 3 * kClips);
    link.setRate("100mbit");
    report("the same again, from the cache, at 100 Mbit/s:", askForSet(*ipad, send, clips), 3 * kClips);
    for (const std::string& clip : clips) std::filesystem::remove(clip);
}

namespace {

// Two processes that spin as fast as they can (as Live would, busy on both
// cores); their speed is the CPU time they get. They are started afresh
// (fork and exec), never as a copy of this process with its threads.
class BusyProgram {
public:
    BusyProgram() {
        for (pid_t& pid : m_Pids) {
            pid = fork();
            if (pid == 0) {
                execl("/bin/sh", "sh", "-c", "while :; do :; done", static_cast<char*>(nullptr));
                _exit(127);
            }
        }
    }
    ~BusyProgram() {
        for (const pid_t pid : m_Pids) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    // CPU seconds the two got per second of `window`.
    double rate(std::chrono::milliseconds window) const {
        const double before = cpuSeconds();
        std::this_thread::sleep_for(window);
        return (cpuSeconds() - before) * 1000.0 / static_cast<double>(window.count());
    }

private:
    double cpuSeconds() const {
        double total = 0;
        for (const pid_t pid : m_Pids) {
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string field;
            unsigned long long user = 0, system = 0;
            for (int i = 1; i <= 13 && stat >> field; ++i) {
            }
            stat >> user >> system;
            total += static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
        }
        return total;
    }

    pid_t m_Pids[2] = {-1, -1};
};

}  // namespace

void cpuShare(std::uint16_t port, const ScriptSend& send, const std::string& mp3) {
    SimulatedTablet ipad(port);
    ipad.sendMessage({"/server/ping", {1}});
    if (!ipad.waitFor("/server/pong", std::chrono::seconds(5))) return;
    const auto window = std::chrono::milliseconds(3000);
    double alone = 0;
    double beside = 0;
    {
        const BusyProgram busy;
        busy.rate(std::chrono::milliseconds(1000));  // both threads running, the caches warm
        alone = busy.rate(window);
        send(clipRequest(900, mp3));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the analysis under way
        beside = busy.rate(window);
    }
    const auto started = SteadyClock::now();
    const bool answered = ipad.waitFor("/clip/updated_waveform", std::chrono::seconds(120)).has_value();
    std::printf("a busy program (two processes, both cores) keeps %.0f%% of its speed while a 60-minute MP3 is "
                "analysed; the analysis %s %.1f s after the program stopped\n",
                100.0 * beside / alone, answered ? "ended" : "had not ended",
                std::chrono::duration<double>(SteadyClock::now() - started).count());
}

}  // namespace stage

#include "RelayCases.h"

#include "ServerProcess.h"
#include "SimulatedUsbmuxd.h"
#include "StageCases.h"
#include "TestSockets.h"

#include <poll.h>
#include <sys/socket.h>

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

namespace relay {

namespace {

constexpr int kLatencyMessages = 10000;
const std::string kFiller(60, 'x');  // ~100-byte messages

// The paths take turns this many times, each sending its share of the messages.
constexpr int kLatencyRounds = 10;

// Sends `count` messages from `send`, one at a time, and waits (spinning)
// until the receiving thread has each; every message carries the next number
// of one sequence shared by all paths.
template <class Send>
void oneWay(const char* address, Send send, Arrivals& receiver, std::int32_t& sequence,
            std::vector<std::int64_t>& samples, int count = kLatencyMessages / kLatencyRounds) {
    for (int i = 0; i < count; ++i, ++sequence) {
        send(stamped(address, nowNs(), sequence, kFiller));
        while (receiver.lastSequence != sequence) {
        }
        samples.push_back(receiver.lastLatency);
    }
}

// Two tablets joined by a direct loopback TCP connection: the yardstick.
struct DirectHop {
    DirectHop()
        : listening(sockets::listenLoopback(0)), sender(sockets::localPort(listening.get())),
          receiver(sockets::Descriptor(accept4(listening.get(), nullptr, nullptr, SOCK_CLOEXEC))), reading(receiver) {}
    sockets::Descriptor listening;
    SimulatedTablet sender;
    SimulatedTablet receiver;
    Receiver reading;
};

// Confirms the tablet's session (or takes the confirmation back), so that
// the script's messages reach it (or no longer do), once the server says so.
void confirm(SimulatedTablet& ipad, Receiver& reading, bool confirmed) {
    const int pongs = reading.arrivals.pongs;
    ipad.sendMessage({"/server/ping", {confirmed ? 1 : -1}});
    while (reading.arrivals.pongs == pongs) std::this_thread::sleep_for(std::chrono::microseconds(100));
}

// Plugs a tablet in through the simulated daemon and confirms it; from then
// on it is read and written as the Wi-Fi tablet is, so that both paths are
// measured alike.
std::unique_ptr<SimulatedTablet> usbTablet(SimulatedUsbmuxd& daemon) {
    daemon.attach(1, "bench-usb");
    auto ipad = daemon.waitForTablet(std::chrono::seconds(10));
    if (!ipad) return nullptr;
    ipad->sendMessage({"/server/ping", {1}});
    if (!ipad->waitFor("/server/pong", std::chrono::seconds(5))) return nullptr;
    return ipad;
}

struct FanOut {
    int tablets = 1;
    int stalled = 0;          // confirmed tablets that never read
    int frames = 4000;
    std::string filler = kFiller;
    int pauseEvery = 0;       // the script pauses 1 ms after this many frames (0: never)
};

struct FanOutResult {
    double framesPerSecond = 0;
    long delivered = 0;
    long expected = 0;
    long disorder = 0;
    Percentiles latency;
};

// The script sends `frames` messages; every healthy tablet reads them.
FanOutResult fanOutRun(Script& script, std::uint16_t port, const FanOut& run) {
    std::vector<std::unique_ptr<SimulatedTablet>> ipads;
    for (int i = 0; i < run.tablets; ++i) ipads.push_back(tablet(port, true));
    std::vector<std::unique_ptr<SimulatedTablet>> stalled;
    for (int i = 0; i < run.stalled; ++i) stalled.push_back(tablet(port, true, 4096));

    std::vector<int> expected(static_cast<std::size_t>(run.tablets), 0);
    std::vector<std::int64_t> latencies;
    latencies.reserve(static_cast<std::size_t>(run.frames * run.tablets));
    FanOutResult result;
    result.expected = static_cast<long>(run.frames) * run.tablets;
    const std::int64_t started = nowNs();
    std::thread sender([&] {
        for (int i = 0; i < run.frames; ++i) {
            script.send(stamped("/bench/fan", nowNs(), i, run.filler));
            if (run.pauseEvery > 0 && i % run.pauseEvery == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::vector<pollfd> watched;
    for (auto& ipad : ipads) watched.push_back({ipad->socket(), POLLIN, 0});
    Stamp stamp;
    while (result.delivered < result.expected) {
        if (poll(watched.data(), watched.size(), 2000) <= 0) break;
        for (std::size_t t = 0; t < ipads.size(); ++t) {
            if ((watched[t].revents & POLLIN) == 0) continue;
            ipads[t]->receive();
            while (const std::optional<std::string_view> payload = ipads[t]->receivedPayload()) {
                if (!decode(*payload, stamp) || stamp.address != "/bench/fan") continue;
                if (stamp.sequence != expected[t]) ++result.disorder;
                expected[t] = stamp.sequence + 1;
                ++result.delivered;
                latencies.push_back(nowNs() - stamp.stamp);
            }
        }
    }
    result.framesPerSecond = static_cast<double>(result.delivered) / (static_cast<double>(nowNs() - started) / 1e9);
    sender.join();
    result.latency = percentiles(latencies);
    return result;
}

// The script sends its waveform requests, then an ordinary message every
// 10 ms until a confirmed tablet has the last request's closing reply, then a
// last marker; the tablet times each ordinary message from the script's send.
void whileLoading(Script& script, std::uint16_t port, const char* name, const std::vector<std::string>& files) {
    const std::unique_ptr<SimulatedTablet> ipad = tablet(port, true);
    std::vector<std::int64_t> latencies;
    std::atomic<bool> answered{false};
    std::thread reading([&] {
        Stamp stamp;
        std::size_t closed = 0;
        while (ipad->receive()) {
            while (const std::optional<std::string_view> payload = ipad->receivedPayload()) {
                if (!decode(*payload, stamp)) continue;
                if (stamp.address == "/bench/ordinary") latencies.push_back(nowNs() - stamp.stamp);
                if (stamp.address == "/clip/updated_waveform" && ++closed == files.size()) answered = true;
                if (stamp.address == "/bench/last") return;
            }
        }
    });
    const std::int64_t started = nowNs();
    for (std::size_t i = 0; i < files.size(); ++i) script.send(stage::clipRequest(static_cast<std::int32_t>(i), files[i]));
    std::int32_t sequence = 0;
    for (; !answered; ++sequence) {
        script.send(stamped("/bench/ordinary", nowNs(), sequence, kFiller));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    script.send(stamped("/bench/last", nowNs(), sequence));
    const double seconds = static_cast<double>(nowNs() - started) / 1e9;
    reading.join();
    if (latencies.empty()) {
        std::printf("  %-32s no ordinary message arrived\n", name);
        return;
    }
    const Percentiles p = percentiles(latencies);
    std::printf("  %-32s %5zu messages, median %.2f ms, p99 %.2f ms, worst %.2f ms; all answered in %.1f s\n", name,
                latencies.size(), p.median / 1000.0, p.p99 / 1000.0,
                static_cast<double>(*std::max_element(latencies.begin(), latencies.end())) / 1e6, seconds);
}

}  // namespace

void loading(Script& script, std::uint16_t port, const std::filesystem::path& dir) {
    const std::string mp3 = (dir / "60min.mp3").string();
    const std::string flac = (dir / "clip0.flac").string();
    if (!stage::writeStereo(mp3, 3600, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III) ||
        !stage::writeStereo(flac, 180, SF_FORMAT_FLAC | SF_FORMAT_PCM_16)) {
        std::printf("loading: libsndfile cannot write MP3 or FLAC here: skipped\n");
        return;
    }
    // Copies are other files to the server: none is answered from its cache.
    std::vector<std::string> clips{flac};
    for (int i = 1; i < 20; ++i) {
        clips.push_back((dir / ("clip" + std::to_string(i) + ".flac")).string());
        std::filesystem::copy_file(flac, clips.back());
    }
    std::printf("ordinary script messages while the script requests waveforms (every 10 ms; target p99 < 10 ms, "
                "worst < 50 ms):\n");
    whileLoading(script, port, "one 60-minute MP3", {mp3});
    whileLoading(script, port, "twenty 3-minute FLAC clips", clips);
    // Another copy: the server has the first one's series in its cache.
    const std::string fresh = (dir / "60min-again.mp3").string();
    std::filesystem::copy_file(mp3, fresh);
    stage::cpuShare(port, [&](const std::string& payload) { script.send(payload); }, fresh);
}

void idle(ServerProcess& server, int seconds, const char* what) {
    const ServerProcess::Usage before = server.usage();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const ServerProcess::Usage after = server.usage();
    std::printf("idle, %-34s %.2f%% of one core, %.1f wake-ups a second, over %d s\n", what,
                100.0 * (after.cpuSeconds - before.cpuSeconds) / seconds,
                static_cast<double>(after.runs - before.runs) / seconds, seconds);
}

void latency(Script& script, std::uint16_t port, SimulatedUsbmuxd& usbmuxd) {
    // Every path in interleaved rounds, so that a change in the machine's
    // load, or in where the threads happen to run, touches them alike.
    DirectHop direct;
    const std::unique_ptr<SimulatedTablet> ipad = tablet(port, true);
    Receiver ipadReading(*ipad);
    const std::unique_ptr<SimulatedTablet> usb = usbTablet(usbmuxd);
    std::optional<Receiver> usbReading;
    if (usb) usbReading.emplace(*usb);
    std::vector<std::int64_t> hop, up, down, usbUp, usbDown;
    std::int32_t sequence = 0;
    for (int round = 0; round < kLatencyRounds; ++round) {
        oneWay("/bench/direct", [&](const std::string& bytes) { direct.sender.sendFrame(bytes); },
               direct.reading.arrivals, sequence, hop);
        oneWay("/bench/up", [&](const std::string& bytes) { ipad->sendFrame(bytes); }, script.arrivals, sequence,
               up);
        // Each path down reaches its own tablet alone, as the direct hop has one reader.
        if (usb) confirm(*usb, *usbReading, false);
        oneWay("/bench/down", [&](const std::string& bytes) { script.send(bytes); }, ipadReading.arrivals, sequence,
               down);
        if (!usb) continue;
        confirm(*usb, *usbReading, true);
        oneWay("/bench/usb-up", [&](const std::string& bytes) { usb->sendFrame(bytes); }, script.arrivals, sequence,
               usbUp);
        confirm(*ipad, ipadReading, false);
        oneWay("/bench/usb-down", [&](const std::string& bytes) { script.send(bytes); }, usbReading->arrivals,
               sequence, usbDown);
        confirm(*ipad, ipadReading, true);
    }
    const Percentiles yardstick = percentiles(hop);
    const auto report = [&](const char* path, const std::vector<std::int64_t>& samples) {
        const Percentiles p = percentiles(samples);
        std::printf("  %-20s %7.1f / %7.1f  (median %.2fx the direct hop)\n", path, p.median, p.p99,
                    p.median / yardstick.median);
    };
    std::printf("latency over %d messages of ~100 bytes a path, in %d interleaved rounds (median / p99, us):\n",
                kLatencyMessages, kLatencyRounds);
    std::printf("  %-20s %7.1f / %7.1f\n", "direct loopback hop", yardstick.median, yardstick.p99);
    report("tablet -> script", up);
    report("script -> tablet", down);
    if (usb) {
        report("USB tablet -> script", usbUp);
        report("script -> USB tablet", usbDown);
    } else {
        std::printf("  USB: no tablet came through the simulated usbmux daemon\n");
    }
}

void fanOut(Script& script, std::uint16_t port) {
    for (int tablets : {1, 10, 50}) {
        const FanOutResult result = fanOutRun(script, port, {.tablets = tablets, .frames = 20000});
        std::printf("fan-out %2d tablets: %9.0f frames/s delivered, %ld of %ld, %ld out of order, p99 %.0f us\n",
                    tablets, result.framesPerSecond, result.delivered, result.expected, result.disorder,
                    result.latency.p99);
    }
    // Five healthy tablets while the script streams 16 KiB messages at a
    // steady pace, then the same with five confirmed tablets that never read.
    for (int stalled : {0, 5}) {
        const FanOutResult result = fanOutRun(
            script, port,
            {.tablets = 5, .stalled = stalled, .frames = 3000, .filler = std::string(16384, 'x'), .pauseEvery = 4});
        std::printf("5 healthy tablets, %d stalled: p99 %.0f us, median %.0f us, %ld of %ld delivered\n", stalled,
                    result.latency.p99, result.latency.median, result.delivered, result.expected);
    }
}

}  // namespace relay

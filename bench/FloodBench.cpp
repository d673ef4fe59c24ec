// What floods from outside cost the real corvilane-server: the bytes its log
// grows by a second (rolls over at 2 MiB included) while
//   churn      one host opens and closes connections to the Wi-Fi port,
//   datagrams  a program sends garbage to the script's UDP port 9111,
//   devices    the usbmux daemon reports distinct devices coming and going,
//   flapping   it reports one device coming and going (a daemon slow to
//              reach its devices: every session waits for its stream),
// and, for the device floods, the most threads and descriptors the server
// held meanwhile. Usage: corvilane_bench_flood SERVER_PATH [SECONDS]
#include "ServerProcess.h"
#include "SimulatedUsbmuxd.h"
#include "TestSockets.h"

#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr std::uintmax_t kLogLimit = 2048 * 1024;

// Follows a log that starts afresh when it passes its limit.
class LogGrowth {
public:
    explicit LogGrowth(std::filesystem::path path) : m_Path(std::move(path)), m_Last(size()) {}
    void look() {
        const std::uintmax_t now = size();
        m_Written += now >= m_Last ? now - m_Last : (kLogLimit - std::min(m_Last, kLogLimit)) + now;
        m_Last = now;
    }
    std::uintmax_t written() const { return m_Written; }

private:
    std::uintmax_t size() const {
        std::error_code error;
        const std::uintmax_t bytes = std::filesystem::file_size(m_Path, error);
        return error ? 0 : bytes;
    }
    std::filesystem::path m_Path;
    std::uintmax_t m_Last;
    std::uintmax_t m_Written = 0;
};

struct Result {
    double logBytesPerSecond = 0;
    std::size_t mostThreads = 0;
    std::size_t mostDescriptors = 0;
    long events = 0;
};

// Runs `flood` (one step a call) for `seconds`, looking at the server every 50 ms.
Result measure(const ServerProcess& server, int seconds, const std::function<void()>& flood) {
    LogGrowth growth(server.log());
    Result result;
    const auto start = SteadyClock::now();
    const auto end = start + std::chrono::seconds(seconds);
    auto nextLook = start;
    while (SteadyClock::now() < end) {
        flood();
        ++result.events;
        if (SteadyClock::now() < nextLook) continue;
        nextLook += std::chrono::milliseconds(50);
        growth.look();
        result.mostThreads = std::max(result.mostThreads, server.threads());
        result.mostDescriptors = std::max(result.mostDescriptors, server.descriptors());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the summaries of the last second
    growth.look();
    result.logBytesPerSecond = static_cast<double>(growth.written()) / seconds;
    return result;
}

void report(const char* what, const Result& result, bool resources) {
    std::printf("  %-58s %8.1f kB/s of log, %ld events", what, result.logBytesPerSecond / 1000.0, result.events);
    if (resources) std::printf(", at most %zu threads and %zu descriptors", result.mostThreads, result.mostDescriptors);
    std::printf("\n");
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SERVER_PATH [SECONDS]\n", argv[0]);
        return 2;
    }
    const int seconds = argc >= 3 ? std::max(1, std::atoi(argv[2])) : 10;
    // A daemon slow to reach its devices: sessions wait for it, and what a
    // detach does with a waiting session shows in the threads and descriptors.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    SimulatedUsbmuxd usbmuxd;
    usbmuxd.holdConnections(true);
    setenv("USBMUXD_SOCKET_ADDRESS", usbmuxd.address().c_str(), 1);
    std::printf("floods from outside, %d s each (the log starts afresh at 2 MiB: an hour's budget is 0.58 kB/s):\n",
                seconds);
    {
        const ServerProcess server(argv[1], "");
        if (server.port == 0) return 1;
        report("connection churn from one host (127.0.0.1):", measure(server, seconds, [&] {
                   sockets::Descriptor connection = sockets::connectLoopback(server.port);
               }), false);
    }
    {
        const ServerProcess server(argv[1], "");
        if (server.port == 0) return 1;
        sockets::Descriptor sender = sockets::udpSocket();
        const sockaddr_in script = sockets::loopbackAddress(9111);
        const std::string garbage = "not OSC at all, just bytes";
        report("garbage datagrams to 127.0.0.1:9111:", measure(server, seconds, [&] {
                   sendto(sender.get(), garbage.data(), garbage.size(), 0, reinterpret_cast<const sockaddr*>(&script),
                          sizeof script);
               }), false);
    }
    {
        const ServerProcess server(argv[1], "");
        if (server.port == 0) return 1;
        // Each device stays for the next fifty, so that its session is
        // waiting for the daemon when it goes.
        std::uint32_t device = 1000;
        report("distinct devices attached and detached (~1000 a second):", measure(server, seconds, [&] {
                   usbmuxd.attach(device, "flood-" + std::to_string(device));
                   if (device >= 1050) usbmuxd.detach(device - 50);
                   ++device;
                   std::this_thread::sleep_for(std::chrono::microseconds(900));
               }), true);
    }
    {
        const ServerProcess server(argv[1], "");
        if (server.port == 0) return 1;
        report("one device attached and detached again and again:", measure(server, seconds, [&] {
                   usbmuxd.attach(7, "flapping");
                   usbmuxd.detach(7);
                   std::this_thread::sleep_for(std::chrono::microseconds(900));
               }), true);
    }
    return 0;
}

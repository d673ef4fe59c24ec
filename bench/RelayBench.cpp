// Relay benchmarks against the real corvilane-server process:
//   latency  one-way tablet -> script and script -> tablet through the relay,
//            beside a direct loopback TCP hop between the same kind of peers;
//   fan-out  the script sending to 1, 10 and 50 confirmed tablets;
//   idle     the server's CPU share and wake-ups without Live and with it,
//            with no tablet and with one idle tablet;
//   loading  ordinary script messages while the script requests waveforms
//            (one 60-minute MP3, then twenty 3-minute FLAC clips), and the
//            speed a busy program keeps while the MP3 is analysed;
//   slow link  a 40-clip set to a tablet behind a 20 Mbit/s link (StageCases).
// The cases are in RelayCases, the peers they use in RelayPeers.
// Usage: corvilane_bench_relay SERVER_PATH [--idle-seconds N] [--only idle|latency|fanout|loading|stage]
#include "RelayCases.h"
#include "ServerProcess.h"
#include "SimulatedUsbmuxd.h"
#include "StageCases.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SERVER_PATH [--idle-seconds N] [--only idle|latency|fanout|loading|stage]\n",
                     argv[0]);
        return 2;
    }
    int idleSeconds = 10;
    std::string only;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--idle-seconds") == 0) idleSeconds = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--only") == 0) only = argv[i + 1];
    }
    const auto wanted = [&only](const char* name) { return only.empty() || only == name; };
    signal(SIGPIPE, SIG_IGN);
    if (wanted("idle")) {
        ServerProcess quiet(argv[1]);  // measured before any script is there
        if (quiet.port == 0) return 1;
        relay::idle(quiet, idleSeconds, "no Live running, no tablet:");
        const auto ipad = relay::tablet(quiet.port, true);
        relay::idle(quiet, idleSeconds, "no Live running, one idle tablet:");
    }
    relay::Script script;
    SimulatedUsbmuxd usbmuxd;
    setenv("USBMUXD_SOCKET_ADDRESS", usbmuxd.address().c_str(), 1);  // for the server, started next
    ServerProcess server(argv[1]);
    if (server.port == 0) return 1;
    // The script answers the server's first ping with the pong that opens the relay.
    if (!script.peer.waitForAddress("/script/ping", std::chrono::seconds(30))) {
        std::fprintf(stderr, "the server never pinged the script\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (wanted("idle")) {
        const auto ipad = relay::tablet(server.port, true);
        relay::idle(server, idleSeconds, "Live connected, one idle tablet:");
    }

    if (wanted("latency")) relay::latency(script, server.port, usbmuxd);
    if (wanted("fanout")) relay::fanOut(script, server.port);
    const auto dir = std::filesystem::temp_directory_path() / ("corvilane-bench-audio-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    if (wanted("loading")) relay::loading(script, server.port, dir);
    if (wanted("stage")) stage::slowLink(server.port, [&](const std::string& payload) { script.send(payload); }, dir);
    std::filesystem::remove_all(dir);
    return 0;
}

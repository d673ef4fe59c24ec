#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>

// The real corvilane-server as a child process in a folder of its own, for
// the benchmarks: started with `settings` as its corvilane-server.conf, its
// Wi-Fi port read from its log, stopped with SIGTERM at the end.
class ServerProcess {
public:
    // Room for the benchmarks' tablets, all from one address.
    static constexpr const char* kManyTablets = "wifi.max_sessions=128\nwifi.max_sessions_per_address=128\n";

    explicit ServerProcess(const std::string& program, const std::string& settings = kManyTablets);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    pid_t pid = -1;
    std::uint16_t port = 0;  // 0: it did not start listening
    std::filesystem::path dir;

    // The scheduler's own accounting over all the server's threads: CPU time
    // in seconds, to the nanosecond, and how many times a thread was run
    // (each wake-up is one).
    struct Usage {
        double cpuSeconds = 0;
        unsigned long long runs = 0;
    };
    Usage usage() const;
    // Its threads and open descriptors now.
    std::size_t threads() const;
    std::size_t descriptors() const;
    std::filesystem::path log() const { return dir / "corvilane-server.log"; }
};

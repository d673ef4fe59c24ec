#pragma once

#include "SimulatedLiveScript.h"
#include "SimulatedTablet.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// The relay benchmark's peers, which are the tests' simulated ones, and the
// messages it times: each of its own ("/bench/...") carries the time it was
// sent (the steady clock, in nanoseconds) and a number.
namespace relay {

std::int64_t nowNs();

// One of the benchmark's own messages: the time it was sent, its number and
// a filler. These are written and read straight with oscpack, so that a
// reader of a million frames spends little on each.
std::string stamped(const char* address, std::int64_t stamp, std::int32_t sequence, const std::string& filler = "");

// A message's address and, for the benchmark's own, its time and number.
struct Stamp {
    std::string_view address;
    std::int64_t stamp = 0;
    std::int32_t sequence = 0;
};

// False when `payload` is no single message.
bool decode(std::string_view payload, Stamp& stamp);

// What a peer's reading thread publishes: the latency and number of the last
// "/bench/..." message it got, and how many "/server/pong"s came.
struct Arrivals {
    std::atomic<std::int64_t> lastLatency{-1};
    std::atomic<std::int32_t> lastSequence{-1};
    std::atomic<int> pongs{0};

    // On the reading thread, as `payload` arrives.
    void take(std::string_view payload);
};

// The Live script's side, on the first script port: answers pings with a pong
// that opens the relay, and times the benchmark's messages as they arrive.
struct Script {
    Script();
    void send(const std::string& payload) { peer.sendFrame(payload); }

    Arrivals arrivals;
    SimulatedLiveScript peer;
};

// Reads one tablet's frames on a thread of its own, as a real tablet would.
class Receiver {
public:
    explicit Receiver(SimulatedTablet& ipad) : m_Tablet(ipad), m_Thread([this] { run(); }) {}
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    Arrivals arrivals;

private:
    void run();

    SimulatedTablet& m_Tablet;
    std::thread m_Thread;
};

// A tablet on the relay, confirmed when `confirm` says so; `receiveBuffer` > 0
// makes its socket's receive buffer that small (a tablet that stops reading
// then fills up soon).
std::unique_ptr<SimulatedTablet> tablet(std::uint16_t port, bool confirm, int receiveBuffer = 0);

// The median and the 99th percentile of latencies in nanoseconds, in microseconds.
struct Percentiles {
    double median = 0;
    double p99 = 0;
};

Percentiles percentiles(std::vector<std::int64_t> samples);

}  // namespace relay

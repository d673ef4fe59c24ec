#pragma once

#include "RelayPeers.h"

#include <cstdint>
#include <filesystem>

class ServerProcess;
class SimulatedUsbmuxd;

// The relay's cases against the real server process on `port`, each printing
// its own lines (see RelayBench.cpp for what they measure).
namespace relay {

// The server's CPU share and wake-ups a second while nothing happens.
void idle(ServerProcess& server, int seconds, const char* what);

// One-way latency of every path through the relay (a Wi-Fi and a USB tablet,
// both ways) beside a direct loopback hop, in interleaved rounds.
void latency(Script& script, std::uint16_t port, SimulatedUsbmuxd& usbmuxd);

// The script sending to 1, 10 and 50 confirmed tablets; then five healthy
// tablets while it streams 16 KiB messages, beside none and five that never read.
void fanOut(Script& script, std::uint16_t port);

// Ordinary script messages while the script requests waveforms, and the CPU
// a busy program keeps meanwhile; the audio files are written to `dir`.
void loading(Script& script, std::uint16_t port, const std::filesystem::path& dir);

}  // namespace relay

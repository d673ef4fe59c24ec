#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

// The relay as a stage has it, against the real server process:
//   slow link  a tablet behind a 20 Mbit/s link (a veth pair into a network
//              namespace of its own, tc tbf on the server's side) receives a
//              40-clip set's waveforms while the script sends ordinary
//              messages; then the same set again, answered from the cache,
//              at 100 Mbit/s;
//   cpu share  how much of its speed a busy program beside the server keeps
//              while a 60-minute MP3 is analysed.
namespace stage {

// Writes one frame's payload to the server as the Live script.
using ScriptSend = std::function<void(const std::string& payload)>;

// Tone and noise, a different tone each second: what a clip sounds like to a
// decoder. `format` is libsndfile's.
bool writeStereo(const std::string& path, int seconds, int format);

// "/clip/reset_waveform" clip 0 path 0 1.
std::string clipRequest(std::int32_t clip, const std::string& path);

void slowLink(std::uint16_t port, const ScriptSend& send, const std::filesystem::path& dir);
void cpuShare(std::uint16_t port, const ScriptSend& send, const std::string& mp3);

}  // namespace stage

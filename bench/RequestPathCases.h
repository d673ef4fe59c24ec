#pragma once

#include "ChildRun.h"

#include <filesystem>
#include <string>

// The server's waveform request path in-process (the Live script's clip
// request, answered through WaveformRequests as the script connection does)
// and a bare libsndfile read to hold it against, each meant for a child
// process of its own (see ChildRun) and timing its own work.
namespace requestpath {

// A clip request for `path`, timed, answered whole (status 0) or not (1).
// With `before`, a request for that file is answered first, untimed: the
// timed request then meets a server that has run (threads, caches, memory
// already in use), as every request but the first does.
int clipRequest(const std::string& path, const std::string& before = {});

// Every frame of `path` as interleaved floats, one thread, nothing kept.
int bareRead(const std::string& path);

// Files that are not what they seem, made in `dir`, through the request path:
// its time and its peak memory above that of `second`, a request for a
// 1-second file.
void hostileFiles(const std::filesystem::path& dir, const childrun::Run& second);

}  // namespace requestpath

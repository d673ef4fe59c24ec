#pragma once

class AudioReader;

// FFmpeg's reader lives in a module of its own (libcorvilane-ffmpeg.so),
// loaded only when a file needs it: FFmpeg's libraries and theirs make up
// most of what a process would otherwise link at start-up.
namespace ffmpeg_module {

// The module's file name, in lib/corvilane beside the folder of the program
// that loads it (the build tree and an installation are laid out alike).
inline constexpr const char* kFileName = "libcorvilane-ffmpeg.so";
inline constexpr const char* kFolder = "lib/corvilane";
// The one function the module exports. It makes a reader of `AudioReader`
// as this build lays it out, or gives null when `abi` is not the one it was
// built for.
inline constexpr const char* kEntry = "corvilane_make_ffmpeg_reader";
inline constexpr int kAbi = 2;
using Entry = AudioReader* (*)(int abi);

}  // namespace ffmpeg_module

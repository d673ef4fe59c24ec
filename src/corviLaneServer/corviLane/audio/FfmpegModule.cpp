// The module's entry: the whole of FFmpeg's reader stays inside, and only
// this function is visible to the program that loads it.
#include "FfmpegModule.h"

#include "FfmpegReader.h"

#include <new>

extern "C" __attribute__((visibility("default"))) AudioReader* corvilane_make_ffmpeg_reader(int abi) {
    if (abi != ffmpeg_module::kAbi) return nullptr;
    return new (std::nothrow) FfmpegReader();
}

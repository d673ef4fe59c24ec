// Writes arbitrary bytes to a temporary file and loads it as the server does:
// libsndfile first, then, by the file's name, the own decoder or FFmpeg; then
// both analyses. The first byte of an input chooses the name's ending.
#include "LinuxAnalyzer.h"
#include "WaveformAnalyzer.h"

extern "C" {
#include <libavutil/log.h>
}

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

namespace {

const char* const kEndings[] = {".wav", ".aif", ".aiff", ".flac", ".m4a", ".mp3"};
constexpr std::int64_t kLongestChecked = 2048;

std::string directory;
std::unique_ptr<WaveformAnalyzer> analyzer;

void removeDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::freopen("/dev/null", "w", stdout);  // the decoders' own lines
    av_log_set_level(AV_LOG_QUIET);
    std::string pattern = (std::filesystem::temp_directory_path() / "corvilane-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    directory = pattern;
    std::atexit(removeDirectory);
    analyzer = makeLinuxAnalyzer();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string path = directory + "/sound" + kEndings[data[0] % std::size(kEndings)];
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    std::int64_t count = 0;
    const float* samples = analyzer->load_file(path.c_str(), &count, 0.0f, 1.0f);
    // The analyses take the same paths on a short series as on a long one,
    // and every block of the series is silenced by the same code: a prefix
    // keeps each run quick under the fuzzer's instrumentation.
    if (samples != nullptr) {
        const std::int64_t prefix = std::min(count, kLongestChecked);
        for (std::int64_t i = 0; i < prefix; ++i) {
            if (!std::isfinite(samples[i])) __builtin_trap();  // the series carries numbers only
        }
        const auto wave = analyzer->wave_series(samples, prefix);
        const auto intensity = analyzer->intensity_series(samples, prefix);
        if (wave.size() != intensity.size()) __builtin_trap();
    }
    // Analysing while decoding takes the file exactly when loading it does,
    // with the same length (this load releases the series above).
    const bool loaded = samples != nullptr;
    const auto analysed = analyzer->analyze_file(path.c_str(), 0.0f, 1.0f).series;
    if (analysed.has_value() != loaded || (analysed && analysed->count != count)) __builtin_trap();
    std::remove(path.c_str());
    return 0;
}

#include "FfmpegLoader.h"

#include "FfmpegModule.h"
#include "Logger.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <mutex>

namespace {

// The module, loaded once for the whole process and never unloaded (FFmpeg
// keeps process-wide state); its entry, or why there is none.
struct Module {
    ffmpeg_module::Entry entry = nullptr;
    std::string problem;
};

Module load() {
    const std::string path = FfmpegLoader::modulePath();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* error = dlerror();
        return {nullptr, error != nullptr ? error : path + ": cannot be loaded"};
    }
    auto entry = reinterpret_cast<ffmpeg_module::Entry>(dlsym(handle, ffmpeg_module::kEntry));
    if (entry == nullptr) return {nullptr, path + ": not a corviLane FFmpeg module"};
    return {entry, {}};
}

const Module& module() {
    static const Module loaded = [] {
        Module result = load();
        if (!result.problem.empty()) {
            CLogger::error("FFmpeg module not loaded, so AAC, ALAC and other files that libsndfile cannot read get "
                           "no waveform (%s); reinstall corviLane to bring it back",
                           result.problem.c_str());
        }
        return result;
    }();
    return loaded;
}

}  // namespace

std::string FfmpegLoader::modulePath() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::filesystem::path folder = error ? std::filesystem::path(".") : program.parent_path().parent_path();
    return (folder / ffmpeg_module::kFolder / ffmpeg_module::kFileName).string();
}

bool FfmpegLoader::open(const RegularFile& file, const Interrupt& interrupted, Refusal& refusal) {
    if (!m_Reader) {
        const Module& loaded = module();
        if (loaded.entry != nullptr) m_Reader.reset(loaded.entry(ffmpeg_module::kAbi));
        if (!m_Reader) {
            refusal.reason = loaded.problem.empty() ? "the FFmpeg module does not match this program" : loaded.problem;
            return false;
        }
    }
    return m_Reader->open(file, interrupted, refusal);
}

// Arbitrary bytes as the Live script's .zip: listed, and unpacked into a
// fresh folder, as the installer does; nothing may be written outside it,
// and a refused archive must say why.
#include "ScriptArchive.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::filesystem::path workFolder() {
    static const std::filesystem::path folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "corvilane-fuzz-zip-XXXXXX").string();
        const char* made = mkdtemp(pattern.data());
        if (made == nullptr) std::abort();
        return std::filesystem::path(made);
    }();
    return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path folder = workFolder();
    const std::string archive = (folder / "script.zip").string();
    std::ofstream(archive, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                     static_cast<std::streamsize>(size));
    std::vector<std::string> names;
    const std::string refused = script_archive::list(archive, names);
    const std::filesystem::path target = folder / "unpacked";
    if (refused.empty()) script_archive::unpack(archive, "", target.string());
    std::error_code error;
    std::filesystem::remove_all(target, error);
    // Only the archive and the target's place may exist: anything else was written outside.
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().filename() != "script.zip") std::abort();
    }
    return 0;
}

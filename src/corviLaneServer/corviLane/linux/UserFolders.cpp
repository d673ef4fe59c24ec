#include "UserFolders.h"

#include <cstdlib>
#include <filesystem>

namespace {

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    // Relative paths are invalid in these variables and are ignored.
    return value != nullptr && value[0] == '/' ? value : "";
}

}  // namespace

std::string user_folders::state() {
    if (const std::string base = variable("XDG_STATE_HOME"); !base.empty()) return base + "/corvilane";
    if (const std::string home = variable("HOME"); !home.empty()) return home + "/.local/state/corvilane";
    return {};
}

std::string user_folders::runtime() {
    const std::string base = variable("XDG_RUNTIME_DIR");
    return base.empty() ? state() : base;
}

bool user_folders::make(const std::string& folder) {
    if (folder.empty()) return false;
    std::error_code error;
    if (std::filesystem::is_directory(folder, error)) return true;
    std::filesystem::create_directories(folder, error);
    if (error) return false;
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all, error);
    return true;
}

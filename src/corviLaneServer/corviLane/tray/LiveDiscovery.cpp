#include "LiveDiscovery.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace {

constexpr const char* kWineLiveFolder = "drive_c/ProgramData/Ableton";

// The folders in the home whose every entry is a Wine prefix: Bottles'
// bottles (native and Flatpak), Lutris' games, PlayOnLinux's prefixes.
constexpr const char* kPrefixManagers[] = {
    ".local/share/bottles/bottles",
    ".var/app/com.usebottles.bottles/data/bottles/bottles",
    "Games",
    ".PlayOnLinux/wineprefix",
};

// The prefixes named outright: the chosen one and ~/.wine, each once.
std::vector<std::string> namedPrefixes(const InstallerFolders& folders) {
    std::vector<std::string> prefixes;
    if (!folders.winePrefix.empty()) prefixes.push_back(folders.winePrefix);
    if (!folders.home.empty()) {
        const std::string wine = joinPath(folders.home, ".wine");
        const auto same = [&](const std::string& prefix) {
            return std::filesystem::path(prefix).lexically_normal() == std::filesystem::path(wine).lexically_normal();
        };
        if (std::none_of(prefixes.begin(), prefixes.end(), same)) prefixes.push_back(wine);
    }
    return prefixes;
}

}  // namespace

std::string joinPath(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

InstallerFolders InstallerFolders::fromSettings(const SettingsStore& settings, const std::string& dataFolder) {
    const char* winePrefix = std::getenv("WINEPREFIX");
    const char* homeVariable = std::getenv("HOME");
    const std::string home = homeVariable != nullptr && homeVariable[0] == '/' ? homeVariable : "";
    const std::string defaultPrefix =
        winePrefix != nullptr && *winePrefix != '\0' ? winePrefix : joinPath(home, ".wine");
    return {settings.value(kApplicationsKey).value_or("/Applications"),
            settings.value(kWinePrefixKey).value_or(defaultPrefix), dataFolder, home};
}

std::string dataFolderOf(const std::string& executable) {
    return (std::filesystem::path(executable).parent_path().parent_path() / "share" / "corvilane").string();
}

std::vector<std::string> findLives(const FileSystem& files, const InstallerFolders& folders) {
    std::vector<std::string> lives;
    for (const std::string& entry : files.list(folders.applicationsFolder)) {
        const std::string live = joinPath(folders.applicationsFolder, entry);
        if (files.exists(joinPath(live, kBundleScripts))) lives.push_back(live);
    }
    std::vector<std::string> prefixes = namedPrefixes(folders);
    if (!folders.home.empty()) {
        for (const char* manager : kPrefixManagers) {
            const std::string managed = joinPath(folders.home, manager);
            for (const std::string& entry : files.list(managed)) prefixes.push_back(joinPath(managed, entry));
        }
    }
    for (const std::string& prefix : prefixes) {
        const std::string wineLive = joinPath(prefix, kWineLiveFolder);
        for (const std::string& entry : files.list(wineLive)) {
            const std::string live = joinPath(wineLive, entry);
            if (files.exists(joinPath(live, kWineScripts))) lives.push_back(live);
        }
    }
    return lives;
}

std::vector<std::string> placesSearched(const InstallerFolders& folders) {
    std::vector<std::string> places{folders.applicationsFolder};
    for (const std::string& prefix : namedPrefixes(folders)) places.push_back(joinPath(prefix, kWineLiveFolder));
    if (!folders.home.empty()) {
        for (const char* manager : kPrefixManagers) {
            places.push_back(joinPath(joinPath(joinPath(folders.home, manager), "*"), kWineLiveFolder));
        }
    }
    return places;
}

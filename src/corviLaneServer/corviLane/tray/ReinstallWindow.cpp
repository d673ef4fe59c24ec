#include "ReinstallWindow.h"

#include "LiveVersion.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace {

constexpr const char* kBundleScripts = "Contents/App-Resources/MIDI Remote Scripts";
constexpr const char* kWineScripts = "Resources/MIDI Remote Scripts";
constexpr const char* kWineLiveFolder = "drive_c/ProgramData/Ableton";
constexpr std::size_t kMaxInfoPlist = 4 << 20;
constexpr std::size_t kScanPiece = 4 << 20;
constexpr std::uint64_t kMaxScan = std::uint64_t{1} << 30;  // far more than any Live executable

std::string join(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

bool isExecutableName(const std::string& name) {
    if (name.size() < 4) return false;
    std::string suffix = name.substr(name.size() - 4);
    std::transform(suffix.begin(), suffix.end(), suffix.begin(), [](unsigned char c) { return std::tolower(c); });
    return suffix == ".exe";
}

}  // namespace

InstallerFolders InstallerFolders::fromSettings(const SettingsStore& settings, const std::string& dataFolder) {
    const char* winePrefix = std::getenv("WINEPREFIX");
    const char* home = std::getenv("HOME");
    std::string defaultPrefix = winePrefix != nullptr && *winePrefix != '\0' ? winePrefix
                                : join(home != nullptr ? home : "", ".wine");
    return {settings.value(kApplicationsKey).value_or("/Applications"),
            settings.value(kWinePrefixKey).value_or(defaultPrefix), dataFolder};
}

std::string dataFolderOf(const std::string& executable) {
    return (std::filesystem::path(executable).parent_path().parent_path() / "share" / "corvilane").string();
}

ReinstallWindow::ReinstallWindow(const Ports& ports, InstallerFolders folders)
    : m_Ports(ports), m_Folders(std::move(folders)) {}

void ReinstallWindow::windowDidLoad() {
    m_Versions.clear();
    for (const std::string& entry : m_Ports.files.list(m_Folders.applicationsFolder)) {
        const std::string live = join(m_Folders.applicationsFolder, entry);
        if (m_Ports.files.exists(join(live, kBundleScripts))) m_Versions.push_back(live);
    }
    const std::string wineLive = join(m_Folders.winePrefix, kWineLiveFolder);
    for (const std::string& entry : m_Ports.files.list(wineLive)) {
        const std::string live = join(wineLive, entry);
        if (m_Ports.files.exists(join(live, kWineScripts))) m_Versions.push_back(live);
    }
}

void ReinstallWindow::cmbVersionsSelect() { updateVersion(m_CurrentText); }

void ReinstallWindow::btnBrowseClick() {
    if (const std::optional<std::string> chosen = browse()) updateVersion(*chosen);
}

std::optional<std::string> ReinstallWindow::browse() {
    const std::optional<std::string> chosen = m_Ports.picker.chooseLive();
    if (!chosen || chosen->empty()) return std::nullopt;
    setCurrentText(*chosen);
    return chosen;
}

void ReinstallWindow::setCurrentText(const std::string& text) {
    m_CurrentText = text;
    if (text == m_VersionOf) return;
    m_Label = "-";
    m_InstallEnabled = false;
    m_VersionOf.clear();
}

std::string ReinstallWindow::scriptsFolderFor(const std::string& live) const {
    const bool wine = m_Ports.files.exists(join(live, kWineScripts));
    return join(live, wine ? kWineScripts : kBundleScripts);
}

std::string ReinstallWindow::targetFor(const std::string& live) const {
    return join(scriptsFolderFor(live), "corviLane");
}

std::string ReinstallWindow::linkOnTheWay(const std::string& live) const {
    const std::string target = targetFor(live);
    // Each "/" past the Live folder ends the path of a folder on the way.
    for (std::size_t slash = target.find('/', live.size() + 1); slash != std::string::npos;
         slash = target.find('/', slash + 1)) {
        if (m_Ports.files.isSymlink(target.substr(0, slash))) return target.substr(0, slash);
    }
    return m_Ports.files.isSymlink(target) ? target : "";
}

void ReinstallWindow::updateVersion(const std::string& path) {
    const std::atomic<bool> never{false};
    showVersion(path, readVersion(path, never));
}

std::optional<std::string> ReinstallWindow::readVersion(const std::string& path,
                                                        const std::atomic<bool>& cancel) const {
    return versionText(path, cancel);
}

void ReinstallWindow::showVersion(const std::string& path, const std::optional<std::string>& text) {
    m_Label = "-";
    m_InstallEnabled = false;
    m_VersionOf.clear();
    if (!text) return;

    const LiveVersion parsed = LiveVersion::parse(*text);
    m_Ports.console.line("Version of Live: " + *text);
    m_Ports.console.line("MAJOR VERSION: " + parsed.majorText);
    m_Ports.console.line("SUB VERSION: " + parsed.subText);
    m_Ports.console.line("MINOR VERSION: " + parsed.minorText);
    m_Version = parsed.major;
    m_Ports.console.line("COMBINED VERSION: " + std::to_string(parsed.combined()));
    if (parsed.outdated()) {
        m_Ports.console.line("Outdated Version of Live: " + std::to_string(parsed.major));
        m_Ports.alerts.warningSheet("Outdated Version of Live",
                                    "Please Update to the latest Version of Live. Your Live Version : " +
                                        std::to_string(parsed.major) + "." + std::to_string(parsed.sub) + "." +
                                        std::to_string(parsed.minor),
                                    "OK");
    }
    m_InstallEnabled = true;
    m_Label = *text;
    m_VersionOf = path;
}

std::optional<std::string> ReinstallWindow::versionText(const std::string& live,
                                                        const std::atomic<bool>& cancel) const {
    const std::optional<std::string> plist =
        m_Ports.files.read(join(live, "Contents/Info.plist"), 0, kMaxInfoPlist + 1);
    if (plist && plist->size() <= kMaxInfoPlist) return bundleVersion(*plist);
    return executableVersion(live, cancel);
}

// Live under Wine keeps its executable in <live>/Program; "Ableton Live ..."
// comes first should there be several.
std::optional<std::string> ReinstallWindow::executableVersion(const std::string& live,
                                                              const std::atomic<bool>& cancel) const {
    const std::string program = join(live, "Program");
    std::vector<std::string> names = m_Ports.files.list(program);
    std::stable_partition(names.begin(), names.end(),
                          [](const std::string& name) { return name.rfind("Ableton Live", 0) == 0; });
    for (const std::string& name : names) {
        if (!isExecutableName(name)) continue;
        if (std::optional<std::string> version = scanForVersion(join(program, name), cancel)) return version;
    }
    return std::nullopt;
}

// Reads the file in overlapping pieces so that a version block across two
// pieces is still seen whole.
std::optional<std::string> ReinstallWindow::scanForVersion(const std::string& file,
                                                           const std::atomic<bool>& cancel) const {
    for (std::uint64_t offset = 0; offset < kMaxScan && !cancel; offset += kScanPiece - kVersionBlockReach) {
        const std::optional<std::string> piece = m_Ports.files.read(file, offset, kScanPiece);
        if (!piece) return std::nullopt;
        if (std::optional<std::string> version = productVersion(piece->data(), piece->size())) return version;
        if (piece->size() < kScanPiece) return std::nullopt;
    }
    return std::nullopt;
}

void ReinstallWindow::btnInstallClick() {
    const std::string folder = m_Version == 8 ? "corviLane8" : "corviLanePro";
    const std::string source = join(m_Folders.scriptFolders, folder);
    if (!m_Ports.files.exists(source)) {
        m_Ports.alerts.inform("Live script missing",
                              "This installation of corviLane has no Live script folder \"" + folder +
                                  "\". It was looked for at " + source + ". Nothing was changed.",
                              "OK");
        return;
    }
    if (const std::string link = linkOnTheWay(m_CurrentText); !link.empty()) {
        m_Ports.alerts.inform("Cannot install",
                              link + " is a symbolic link. The script is installed only inside the Live folder "
                                     "chosen, never where a link leads. Nothing was changed.",
                              "OK");
        return;
    }
    FileSystem& files = m_Ports.files;
    const std::string target = targetFor(m_CurrentText);
    // Hidden, and named for this process so that no other installer uses it.
    const std::string staging =
        join(scriptsFolderFor(m_CurrentText), ".corviLane.new-" + std::to_string(::getpid()));
    if (files.exists(staging)) {
        if (const std::string failure = files.removeAll(staging); !failure.empty()) {
            return m_Ports.alerts.error(failure);
        }
    }
    std::string failure = files.copyAll(source, staging);
    if (failure.empty()) failure = files.replace(staging, target);
    if (!failure.empty()) {
        // The script in place stays as it was: drop only the new copy.
        files.removeAll(staging);
        return m_Ports.alerts.error(failure);
    }
    // The staging name now holds the script replaced, if there was one.
    const std::string leftover = files.exists(staging) ? files.removeAll(staging) : "";
    m_Ports.alerts.inform("Success", "Successfully installed corviLane Pro to Live " + std::to_string(m_Version) + "!",
                          "Ok");
    if (!leftover.empty()) {
        m_Ports.console.line(leftover);
        m_Ports.alerts.error(leftover);
    }
    m_Closed = true;
}

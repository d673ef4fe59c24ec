#include "ReinstallWindow.h"

#include "LiveVersion.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iterator>

namespace {

constexpr std::size_t kMaxInfoPlist = 4 << 20;
constexpr std::size_t kScanPiece = 4 << 20;
constexpr std::uint64_t kMaxScan = std::uint64_t{1} << 30;  // far more than any Live executable
constexpr const char* kScriptFolders[] = {"corviLanePro", "corviLane8"};

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool isExecutableName(const std::string& name) { return endsWith(lowered(name), ".exe"); }
bool isArchiveName(const std::string& name) { return endsWith(lowered(name), ".zip"); }

}  // namespace

ReinstallWindow::ReinstallWindow(const Ports& ports, InstallerFolders folders, SettingsStore* settings)
    : m_Ports(ports), m_Folders(std::move(folders)), m_Settings(settings) {
    m_Data.path = m_Folders.scriptFolders;
    if (m_Settings != nullptr) m_Chosen.path = m_Settings->value(kScriptSourceKey).value_or("");
}

// The first copy found is chosen; its version is for the window to read.
void ReinstallWindow::windowDidLoad() {
    m_Versions = findLives(m_Ports.files, m_Folders);
    m_Searched = placesSearched(m_Folders);
    if (!m_Chosen.path.empty()) m_Chosen = look(m_Chosen.path);
    if (!m_Versions.empty()) setCurrentText(m_Versions.front());
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
    m_ReadFailed = false;
    m_Label = "-";
    m_InstallEnabled = false;
    m_VersionOf.clear();
}

std::string ReinstallWindow::scriptsFolderFor(const std::string& live) const {
    const bool wine = m_Ports.files.exists(joinPath(live, kWineScripts));
    return joinPath(live, wine ? kWineScripts : kBundleScripts);
}

std::string ReinstallWindow::targetFor(const std::string& live) const {
    return joinPath(scriptsFolderFor(live), "corviLane");
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
    m_ReadFailed = !text;
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
        m_Ports.files.read(joinPath(live, "Contents/Info.plist"), 0, kMaxInfoPlist + 1);
    if (plist && plist->size() <= kMaxInfoPlist) return bundleVersion(*plist);
    return executableVersion(live, cancel);
}

// Live under Wine keeps its executable in <live>/Program; "Ableton Live ..."
// comes first should there be several.
std::optional<std::string> ReinstallWindow::executableVersion(const std::string& live,
                                                              const std::atomic<bool>& cancel) const {
    const std::string program = joinPath(live, "Program");
    std::vector<std::string> names = m_Ports.files.list(program);
    std::stable_partition(names.begin(), names.end(),
                          [](const std::string& name) { return name.rfind("Ableton Live", 0) == 0; });
    for (const std::string& name : names) {
        if (!isExecutableName(name)) continue;
        if (std::optional<std::string> version = scanForVersion(joinPath(program, name), cancel)) return version;
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
    if (const std::string link = linkOnTheWay(m_CurrentText); !link.empty()) {
        m_Ports.alerts.inform("Cannot install",
                              link + " is a symbolic link. The script is installed only inside the Live folder "
                                     "chosen, never where a link leads. Nothing was changed.",
                              "OK");
        return;
    }
    const std::string folder = scriptFolder();
    if (!m_Chosen.path.empty()) m_Chosen = look(m_Chosen.path);  // as it is now
    const Scripts* scripts = scriptsFor(folder);
    if (scripts == nullptr) {
        if (!chooseScripts()) return;
        scripts = scriptsFor(folder);
    }
    if (scripts == nullptr) {
        m_Ports.alerts.inform("Live script missing",
                              m_Chosen.path + " holds no Live script folder \"" + folder + "\", the one for Live " +
                                  std::to_string(m_Version) + ". Nothing was changed.",
                              "OK");
        return;
    }
    FileSystem& files = m_Ports.files;
    const std::string target = targetFor(m_CurrentText);
    // Hidden, and named for this process so that no other installer uses it.
    const std::string staging =
        joinPath(scriptsFolderFor(m_CurrentText), ".corviLane.new-" + std::to_string(::getpid()));
    if (files.exists(staging)) {
        if (const std::string failure = files.removeAll(staging); !failure.empty()) {
            return m_Ports.alerts.error(failure);
        }
    }
    std::string failure = installFrom(*scripts, folder, staging);
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

std::string ReinstallWindow::installFrom(const Scripts& scripts, const std::string& folder,
                                         const std::string& staging) {
    const std::optional<std::string> from = folderIn(scripts, folder);
    if (!from) return "The Live script folder \"" + folder + "\" is no longer in " + scripts.path + ".";
    if (scripts.archive) return m_Ports.files.unpack(scripts.path, *from, staging);
    return m_Ports.files.copyAll(*from, staging);
}

bool ReinstallWindow::chooseScripts() {
    const std::optional<std::string> chosen = m_Ports.picker.chooseScripts();
    if (!chosen || chosen->empty()) return false;
    // One of the script folders itself stands for the folder holding it.
    std::filesystem::path path = std::filesystem::path(*chosen).lexically_normal();
    if (!path.has_filename()) path = path.parent_path();
    const std::string name = path.filename().string();
    if (std::find(std::begin(kScriptFolders), std::end(kScriptFolders), name) != std::end(kScriptFolders)) {
        path = path.parent_path();
    }
    Scripts scripts = look(path.string());
    if (!scripts.refusal.empty()) {
        m_Ports.alerts.inform("Cannot use this Live script", scripts.refusal + " Nothing was changed.", "OK");
        return false;
    }
    if (!folderIn(scripts, kScriptFolders[0]) && !folderIn(scripts, kScriptFolders[1])) {
        m_Ports.alerts.inform("Not the Live script",
                              scripts.path + " holds neither corviLanePro nor corviLane8, the folders of the Live "
                                             "script that comes with the tablet app. Nothing was changed.",
                              "OK");
        return false;
    }
    m_Chosen = std::move(scripts);
    if (m_Settings != nullptr) {
        m_Settings->setValue(kScriptSourceKey, m_Chosen.path);
        m_Settings->sync();
    }
    return true;
}

ReinstallWindow::Scripts ReinstallWindow::look(const std::string& path) const {
    Scripts scripts{path, isArchiveName(path), {}, {}};
    if (scripts.archive) scripts.refusal = m_Ports.files.listArchive(path, scripts.names);
    return scripts;
}

// In an archive, the folder at its top or in a folder at its top (an archive
// of the folder holding the script folders), but never in the resource
// forks a Mac adds.
std::optional<std::string> ReinstallWindow::folderIn(const Scripts& scripts, const std::string& folder) const {
    if (!scripts.archive) {
        const std::string path = joinPath(scripts.path, folder);
        return !scripts.path.empty() && m_Ports.files.exists(path) ? std::optional(path) : std::nullopt;
    }
    if (!scripts.refusal.empty()) return std::nullopt;
    std::optional<std::string> nested;
    for (const std::string& name : scripts.names) {
        if (name.rfind(folder + "/", 0) == 0) return folder + "/";
        const std::size_t slash = name.find('/');
        if (!nested && slash != std::string::npos && name.compare(0, slash, "__MACOSX") != 0 &&
            name.compare(slash + 1, folder.size() + 1, folder + "/") == 0) {
            nested = name.substr(0, slash + 1) + folder + "/";
        }
    }
    return nested;
}

const ReinstallWindow::Scripts* ReinstallWindow::scriptsFor(const std::string& folder) const {
    if (folderIn(m_Chosen, folder)) return &m_Chosen;
    if (folderIn(m_Data, folder)) return &m_Data;
    return nullptr;
}

std::string ReinstallWindow::scriptsText() const {
    const std::string folder = scriptFolder();
    if (const Scripts* scripts = scriptsFor(folder)) return folder + " from " + scripts->path;
    if (!m_Chosen.refusal.empty()) return m_Chosen.refusal;
    if (!m_Chosen.path.empty()) return m_Chosen.path + " (without " + folder + ")";
    return "none chosen yet";
}

std::string ReinstallWindow::installNote(bool reading) const {
    if (m_CurrentText.empty()) {
        if (!m_Versions.empty()) return "Choose the copy of Live to install the script into.";
        std::string note = "No Ableton Live was found. Looked in:";
        for (const std::string& place : m_Searched) note += "\n    " + place;
        return note + "\nChoose Live's folder with Browse...";
    }
    if (reading || (!m_InstallEnabled && !m_ReadFailed)) {
        return "Install waits until the version of this Live has been read.";
    }
    if (!m_InstallEnabled) {
        return "No version of Live was found in " + m_CurrentText +
               ": choose Live's folder (holding Program and Resources) or its application bundle.";
    }
    const std::string folder = scriptFolder();
    if (const Scripts* scripts = scriptsFor(folder)) {
        return "Installs " + folder + " from " + scripts->path + " into " + targetFor(m_CurrentText);
    }
    return "Install asks for the Live script that came with the tablet app: its folder (holding " + folder +
           ") or its .zip.";
}

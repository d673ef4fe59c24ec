#pragma once

#include "FrontendPorts.h"

#include <atomic>
#include <optional>
#include <string>
#include <vector>

// Where the installer looks for copies of Live and for the script it installs.
struct InstallerFolders {
    // Application bundles: <entry>/Contents/App-Resources/MIDI Remote Scripts.
    std::string applicationsFolder;
    // Live under Wine: drive_c/ProgramData/Ableton/<name>/Resources/MIDI Remote Scripts.
    std::string winePrefix;
    // The program's data folder, holding "corviLanePro" and "corviLane8".
    std::string scriptFolders;

    static constexpr const char* kApplicationsKey = "applications_folder";
    static constexpr const char* kWinePrefixKey = "wine_prefix";

    // The stored folders, else "/Applications" and $WINEPREFIX (else ~/.wine).
    static InstallerFolders fromSettings(const SettingsStore& settings, const std::string& dataFolder);
};

// The data folder of a program installed or built at `executable`:
// <prefix>/bin/x gives <prefix>/share/corvilane, and a build tree's
// <build>/src/x gives <build>/share/corvilane.
std::string dataFolderOf(const std::string& executable);

// The Live script installer without its window: lists the copies of Live,
// reads the chosen one's version and warns when it is too old, and replaces
// the "corviLane" folder in its "MIDI Remote Scripts" with the script folder
// for its version. The window shows the state below and calls the actions.
//
// Installing copies the script beside the old one under a hidden name and
// swaps the two, so that Live finds the old script or the new one, whole,
// never a part; and it refuses to install through a symbolic link, which
// could lead it to replace a folder outside that copy of Live.
class ReinstallWindow {
public:
    struct Ports {
        FileSystem& files;
        Alerts& alerts;
        FilePicker& picker;
        ConsoleLog& console;
    };

    ReinstallWindow(const Ports& ports, InstallerFolders folders);

    void windowDidLoad();
    // An entry of the list was chosen: it is now the current text.
    void cmbVersionsSelect();
    void btnBrowseClick();
    void btnInstallClick();
    void btnCloseClick() { m_Closed = true; }
    void updateVersion(const std::string& path);

    // The same steps for a window that reads versions on another thread:
    // browse() lets the user pick a Live and makes it the target, without
    // reading its version; readVersion() reads it (it may take long, and it
    // gives up once `cancel` is set) and touches nothing of this object but
    // its ports; showVersion() then shows what was read for `path`.
    std::optional<std::string> browse();
    std::optional<std::string> readVersion(const std::string& path, const std::atomic<bool>& cancel) const;
    void showVersion(const std::string& path, const std::optional<std::string>& text);

    // The list of copies found, and the text of the editable box: the target.
    const std::vector<std::string>& versions() const { return m_Versions; }
    const std::string& currentText() const { return m_CurrentText; }
    // A target typed in: until its version is read, nothing can be installed.
    void setCurrentText(const std::string& text);
    const std::string& lblVersion() const { return m_Label; }
    bool installEnabled() const { return m_InstallEnabled; }
    int version() const { return m_Version; }
    bool closed() const { return m_Closed; }

    // Where the script goes in the copy of Live at `live`.
    std::string targetFor(const std::string& live) const;

private:
    std::string scriptsFolderFor(const std::string& live) const;
    // The first symbolic link among the folders from `live` down to the
    // target of the script, the target included; empty when there is none.
    std::string linkOnTheWay(const std::string& live) const;
    std::optional<std::string> versionText(const std::string& live, const std::atomic<bool>& cancel) const;
    std::optional<std::string> executableVersion(const std::string& live, const std::atomic<bool>& cancel) const;
    std::optional<std::string> scanForVersion(const std::string& file, const std::atomic<bool>& cancel) const;

    Ports m_Ports;
    InstallerFolders m_Folders;
    std::vector<std::string> m_Versions;
    std::string m_CurrentText;
    std::string m_VersionOf;  // the target whose version is shown
    std::string m_Label = "-";
    bool m_InstallEnabled = false;
    int m_Version = 0;
    bool m_Closed = false;
};

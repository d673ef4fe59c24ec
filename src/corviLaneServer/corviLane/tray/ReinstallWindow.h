#pragma once

#include "FrontendPorts.h"
#include "LiveDiscovery.h"

#include <atomic>
#include <optional>
#include <string>
#include <vector>

// The Live script installer without its window: lists the copies of Live
// and chooses the first, reads the chosen one's version and warns when it is
// too old, and replaces the "corviLane" folder in its "MIDI Remote Scripts"
// with the script folder for its version. The script comes from the folder or
// .zip the user chose (it comes with the tablet app; the choice is
// remembered), else from the program's data folder; when neither holds it,
// Install asks for it. The window shows the state below and calls the
// actions; installNote() says what Install does, or why it cannot.
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

    static constexpr const char* kScriptSourceKey = "script_source";

    // The script chosen is remembered in `settings`; not at all without them.
    ReinstallWindow(const Ports& ports, InstallerFolders folders, SettingsStore* settings = nullptr);

    void windowDidLoad();
    // An entry of the list was chosen: it is now the current text.
    void cmbVersionsSelect();
    void btnBrowseClick();
    void btnInstallClick();
    void btnCloseClick() { m_Closed = true; }
    // Asks for the Live script (a folder or a .zip), checks and remembers
    // it; false when the user cancelled or the choice was refused (with an
    // alert saying why).
    bool chooseScripts();
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
    // What Install does ("Installs corviLanePro from ... into ..."), or why
    // it cannot yet; `reading` while the window reads a version.
    std::string installNote(bool reading) const;
    // Where the script installed comes from, or what is missing.
    std::string scriptsText() const;

private:
    // A place the script can come from, as it was last looked at.
    struct Scripts {
        std::string path;
        bool archive = false;
        std::vector<std::string> names;  // an archive's entries
        std::string refusal;             // why it cannot be used
    };
    // The script folder `folder` in `scripts`: its path, or in an archive the
    // folder inside it; nothing when it holds none.
    std::optional<std::string> folderIn(const Scripts& scripts, const std::string& folder) const;
    Scripts look(const std::string& path) const;
    // The place the script for this version comes from: the user's choice,
    // else the data folder; nothing when neither holds it.
    const Scripts* scriptsFor(const std::string& folder) const;
    std::string scriptFolder() const { return m_Version == 8 ? "corviLane8" : "corviLanePro"; }
    std::string installFrom(const Scripts& scripts, const std::string& folder, const std::string& staging);

    std::string scriptsFolderFor(const std::string& live) const;
    // The first symbolic link among the folders from `live` down to the
    // target of the script, the target included; empty when there is none.
    std::string linkOnTheWay(const std::string& live) const;
    std::optional<std::string> versionText(const std::string& live, const std::atomic<bool>& cancel) const;
    std::optional<std::string> executableVersion(const std::string& live, const std::atomic<bool>& cancel) const;
    std::optional<std::string> scanForVersion(const std::string& file, const std::atomic<bool>& cancel) const;

    Ports m_Ports;
    InstallerFolders m_Folders;
    SettingsStore* m_Settings;
    std::vector<std::string> m_Versions;
    std::vector<std::string> m_Searched;  // where the copies of Live were looked for
    Scripts m_Chosen;                     // the user's script; no path when none
    Scripts m_Data;                       // the program's own script folders
    std::string m_CurrentText;
    std::string m_VersionOf;  // the target whose version is shown
    std::string m_Label = "-";
    bool m_InstallEnabled = false;
    bool m_ReadFailed = false;  // the target's version was read and none found
    int m_Version = 0;
    bool m_Closed = false;
};

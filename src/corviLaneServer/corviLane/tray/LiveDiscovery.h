#pragma once

#include "FrontendPorts.h"

#include <string>
#include <vector>

// A Live's script folder inside an application bundle and inside a Live
// installed under Wine.
constexpr const char* kBundleScripts = "Contents/App-Resources/MIDI Remote Scripts";
constexpr const char* kWineScripts = "Resources/MIDI Remote Scripts";

// Where the installer looks for copies of Live and for the script it installs.
struct InstallerFolders {
    // Application bundles: <entry>/Contents/App-Resources/MIDI Remote Scripts.
    std::string applicationsFolder;
    // Live under Wine: drive_c/ProgramData/Ableton/<name>/Resources/MIDI Remote Scripts.
    std::string winePrefix;
    // The program's data folder, holding "corviLanePro" and "corviLane8".
    std::string scriptFolders;
    // The home whose Wine prefixes are looked through too: ~/.wine and the
    // prefixes of Bottles (also as a Flatpak), Lutris and PlayOnLinux. None
    // when empty.
    std::string home;

    static constexpr const char* kApplicationsKey = "applications_folder";
    static constexpr const char* kWinePrefixKey = "wine_prefix";

    // The stored folders, else "/Applications" and $WINEPREFIX (else
    // ~/.wine); the home from $HOME.
    static InstallerFolders fromSettings(const SettingsStore& settings, const std::string& dataFolder);
};

// The data folder of a program installed or built at `executable`:
// <prefix>/bin/x gives <prefix>/share/corvilane, and a build tree's
// <build>/src/x gives <build>/share/corvilane.
std::string dataFolderOf(const std::string& executable);

// The copies of Live in `folders`: application bundles first, then Live under
// Wine, prefix by prefix (the chosen one, ~/.wine, then the prefix managers'
// in the order above), each folder's entries sorted.
std::vector<std::string> findLives(const FileSystem& files, const InstallerFolders& folders);

// Where findLives() looks, as the user can check: the applications folder,
// then drive_c/ProgramData/Ableton in each Wine prefix, a prefix manager's
// prefixes as "<its folder>/*/drive_c/ProgramData/Ableton".
std::vector<std::string> placesSearched(const InstallerFolders& folders);

// `name` below `folder`.
std::string joinPath(const std::string& folder, const std::string& name);

#include "ReinstallWindow.h"

#include "FrontendFakes.h"
#include "LocalFileSystem.h"
#include "TempDir.h"

#include <plist/plist.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace std::string_literals;
using Lines = std::vector<std::string>;

namespace {

std::string infoPlist(const std::string& version, bool binary) {
    const std::unique_ptr<void, void (*)(plist_t)> dict(plist_new_dict(), plist_free);
    plist_dict_set_item(dict.get(), "CFBundleShortVersionString", plist_new_string(version.c_str()));
    char* data = nullptr;
    uint32_t length = 0;
    (binary ? plist_to_bin : plist_to_xml)(dict.get(), &data, &length);
    const std::unique_ptr<char, void (*)(void*)> owner(data, free);
    return std::string(data, length);
}

struct Installer : ::testing::Test {
    TempDir dir;
    const std::string apps = dir.file("Applications"), prefix = dir.file("wine"), data = dir.file("share");
    struct Files : LocalFileSystem {
        std::string failing;  // "remove" or "copy"
        std::string removeAll(const std::string& path) override {
            return failing == "remove" ? "cannot remove" : LocalFileSystem::removeAll(path);
        }
        std::string copyAll(const std::string& from, const std::string& to) override {
            if (failing != "copy") return LocalFileSystem::copyAll(from, to);
            fs::create_directories(to + "/half");
            return "cannot copy";
        }
    } files;
    FakeUser user;
    ReinstallWindow window{{files, user, user, user}, {apps, prefix, data}};

    std::string bundle(const std::string& name, const std::optional<std::string>& plist = std::nullopt) {
        const std::string live = apps + "/" + name;
        fs::create_directories(live + "/Contents/App-Resources/MIDI Remote Scripts/corviLane");
        writeFile(live + "/Contents/App-Resources/MIDI Remote Scripts/corviLane/old.py", "old");
        if (plist) writeFile(live + "/Contents/Info.plist", *plist);
        return live;
    }
    std::string installed(const std::string& live) const {
        const std::string target = live + "/Contents/App-Resources/MIDI Remote Scripts/corviLane";
        return fs::exists(target + "/old.py") ? "old" : readFile(target + "/sub/__init__.py");
    }
};

TEST_F(Installer, VersionRuleAndFirstDotSplit) {
    // The parts show in the combined number: 8.4 reads as 8, 4, 4 (844), 10 as 10, 10, 10.
    struct Row {
        std::string text;
        long long combined;
        bool outdated;
    } const rows[] = {
        {"9.7.5", 975, false}, {"9.6.4", 964, true},  {"9.6.5", 965, false},   {"9.2.5", 925, false},
        {"8.4", 844, false},   {"8.3.1", 831, true},  {"7.0.2", 702, true},    {"10.1.25", 1035, false},
        {"11.0", 1100, false}, {"9.7", 977, false},   {"10", 1110, false},
        {"99999999999b.x", 214748364700LL, false},  // atoi's digits, without its overflow
    };
    for (const Row& row : rows) {
        user.alerts.clear();
        window.updateVersion(bundle(row.text + ".app", infoPlist(row.text, row.combined % 2 == 0)));
        EXPECT_EQ(user.lines.end()[-(row.outdated ? 2 : 1)], "COMBINED VERSION: " + std::to_string(row.combined));
        EXPECT_EQ(window.lblVersion() + " " + std::to_string(window.installEnabled()), row.text + " 1");
        const std::string warning = "sheet|Outdated Version of Live|Please Update to the latest Version of Live. "
                                    "Your Live Version : " + row.text + "|OK";
        EXPECT_EQ(user.alerts, row.outdated ? Lines{warning} : Lines{}) << row.text;
    }
    // A NUL byte inside the string ends the text (libplist's own getter aborts on it).
    window.updateVersion(bundle("Nul.app", "<plist><dict><key>CFBundleShortVersionString</key><string>9.7.5\0x"
                                           "</string></dict></plist>"s));
    EXPECT_EQ(window.lblVersion(), "9.7.5");
    // Nothing to read: "-" and no install, whatever was shown before.
    for (const char* plist : {"", "<plist", "<plist><dict><key>Other</key><string>1</string></dict></plist>"}) {
        window.updateVersion(bundle("None.app", plist));
        EXPECT_EQ(window.lblVersion() + std::to_string(window.installEnabled()), "-0");
    }
}

TEST_F(Installer, FindsBundlesAndWineInstallations) {
    const std::string live9 = bundle("Ableton Live 9.app");
    bundle("Other/Ableton Live 10.app");  // in a sub-folder: not listed
    fs::create_directories(apps + "/TextEdit.app/Contents");
    const std::string live11 = prefix + "/drive_c/ProgramData/Ableton/Live 11 Suite";
    fs::create_directories(live11 + "/Resources/MIDI Remote Scripts");
    fs::create_directories(live11 + "/Program");
    fs::create_directories(prefix + "/drive_c/ProgramData/Ableton/Live 10 Trial/Program");
    // A fixed version block (product version 11.3.2) across two pieces of the scan.
    writeFile(live11 + "/Program/Ableton Live 11 Suite.exe",
              std::string((4 << 20) - 40, 'x') + "\x00\x03\x34\x00\x00\x00"s +
                  "V\0S\0_\0V\0E\0R\0S\0I\0O\0N\0_\0I\0N\0F\0O\0\0\0\0\0"s + "\xBD\x04\xEF\xFE\0\0\1\0"s +
                  std::string(8, '\0') + "\x03\0\x0B\0\0\0\x02\0"s + std::string(28, '\0'));
    window.windowDidLoad();
    EXPECT_EQ(window.versions(), (Lines{live9, live11}));

    user.choice = live11;
    window.btnBrowseClick();
    EXPECT_EQ(window.currentText() + " " + window.lblVersion(), live11 + " 11.3.2");
    EXPECT_EQ(window.targetFor(live11), live11 + "/Resources/MIDI Remote Scripts/corviLane");
    EXPECT_EQ(window.targetFor(live9), live9 + "/Contents/App-Resources/MIDI Remote Scripts/corviLane");
}

TEST_F(Installer, ReplacesTheScriptWithTheFolderForTheVersion) {
    struct Row {
        std::string version;  // empty: none read
        Lines present;
        std::string failing, installed, alert;
        bool closed;
    } const rows[] = {
        {"8.4", {"corviLane8", "corviLanePro"}, "", "corviLane8", "inform|Success|Successfully installed corviLane Pro to Live 8!|Ok", true},
        {"11.0", {"corviLane8", "corviLanePro"}, "", "corviLanePro", "inform|Success|Successfully installed corviLane Pro to Live 11!|Ok", true},
        {"", {"corviLanePro"}, "", "corviLanePro", "inform|Success|Successfully installed corviLane Pro to Live 0!|Ok", true},
        {"8.4", {"corviLanePro"}, "", "old", "inform|Live script missing|This installation of corviLane has no Live "
         "script folder \"corviLane8\". It was looked for at " + data + "/corviLane8. Nothing was changed.|OK", false},
        {"11.0", {"corviLanePro"}, "remove", "old", "error|cannot remove", false},
        // A half copy is removed: Live is left without the script rather than with a broken one.
        {"11.0", {"corviLanePro"}, "copy", "", "error|cannot copy", false},
    };
    for (const Row& row : rows) {
        fs::remove_all(data);
        for (const std::string& folder : row.present) {
            fs::create_directories(data + "/" + folder + "/sub");
            writeFile(data + "/" + folder + "/sub/__init__.py", folder);
        }
        const std::string live = bundle("Live.app", infoPlist(row.version, false));
        files.failing = row.failing;
        ReinstallWindow installer({files, user, user, user}, {apps, prefix, data});
        user.alerts.clear();
        installer.setCurrentText(live);
        if (!row.version.empty()) installer.updateVersion(live);
        installer.btnInstallClick();
        EXPECT_EQ(user.alerts, Lines{row.alert});
        EXPECT_EQ(installed(live), row.installed);
        EXPECT_EQ(installer.closed(), row.closed);
    }
}

}  // namespace

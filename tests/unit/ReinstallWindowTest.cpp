#include "ReinstallWindow.h"

#include "FrontendFakes.h"
#include "LocalFileSystem.h"
#include "PlistLimits.h"
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

std::string bigEndian(std::uint64_t value, int size) {
    std::string bytes;
    for (int shift = 8 * (size - 1); shift >= 0; shift -= 8) bytes += static_cast<char>(value >> shift);
    return bytes;
}

// A binary plist of `objects` (markers with their contents, references 4
// bytes), the first one on top.
std::string binaryPlist(const std::vector<std::string>& objects) {
    std::string data = "bplist00", table;
    for (const std::string& object : objects) table += bigEndian(data.size(), 4), data += object;
    const std::size_t tableAt = data.size();
    return data + table + std::string(6, '\0') + "\4\4" + bigEndian(objects.size(), 8) + bigEndian(0, 8) +
           bigEndian(tableAt, 8);
}

// `levels` arrays, each referencing the next `fanOut` times.
std::vector<std::string> nestedArrays(std::size_t levels, int fanOut = 1, std::size_t first = 0) {
    std::vector<std::string> arrays;
    for (std::size_t i = 0; i + 1 < levels; ++i) {
        arrays.push_back(static_cast<char>(0xA0 + fanOut) + std::string());
        for (int ref = 0; ref < fanOut; ++ref) arrays.back() += bigEndian(first + i + 1, 4);
    }
    arrays.push_back("\xA0");
    return arrays;
}

std::string repeated(const std::string& text, std::size_t times) {
    std::string all;
    while (times-- > 0) all += text;
    return all;
}

struct Installer : ::testing::Test {
    TempDir dir;
    const std::string apps = dir.file("Applications"), prefix = dir.file("wine"), data = dir.file("share");
    struct Files : LocalFileSystem {
        std::string failing;  // "remove", "copy" or "replace"
        std::string removeAll(const std::string& path) override {
            return failing == "remove" ? "cannot remove" : LocalFileSystem::removeAll(path);
        }
        std::string copyAll(const std::string& from, const std::string& to) override {
            if (failing != "copy") return LocalFileSystem::copyAll(from, to);
            fs::create_directories(to + "/half");
            return "cannot copy";
        }
        std::string replace(const std::string& from, const std::string& to) override {
            return failing == "replace" ? "cannot replace" : LocalFileSystem::replace(from, to);
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

// What libplist would nest deeper than its stack allows, or expand beyond
// memory, is refused however it is dressed up.
TEST(PlistLimits, RefusesDeepNestingAndExpansion) {
    const std::string version = "<plist><dict><key>CFBundleShortVersionString</key><string>9</string></dict></plist>";
    std::vector<std::string> cycle = nestedArrays(3);
    cycle.back() = "\xA1" + bigEndian(0, 4);
    std::string truncated = binaryPlist(nestedArrays(3));
    truncated.pop_back();
    const struct Row {
        std::string plist;
        bool accepted;
    } rows[] = {
        {repeated("<array><!--</array>-->", 40), false},
        {repeated("<array><string><![CDATA[</string></array>]]></string>", 40), false},
        {repeated("<array x=\"></array>\">", 40), false},
        {"<!--" + repeated("<array>", 40) + "-->" + repeated("<array/>", 40) + version, true},
        {binaryPlist(nestedArrays(40)), false},
        {binaryPlist(nestedArrays(30)), true},
        {binaryPlist(nestedArrays(30, 2)), false},  // 2^30 arrays once expanded
        {binaryPlist(cycle), false},
        {truncated, false},
    };
    for (const Row& row : rows) EXPECT_EQ(plistWithinLimits(row.plist), row.accepted) << row.plist.substr(0, 60);
}

TEST_F(Installer, DeeplyNestedInfoPlistReadsAsNoVersion) {
    const std::string key = "<key>CFBundleShortVersionString</key><string>9.7.5</string><key>x</key>";
    std::vector<std::string> binary = {"\xD2"s + bigEndian(1, 4) + bigEndian(2, 4) + bigEndian(3, 4) + bigEndian(4, 4),
                                       "\x5F\x10\x1A" "CFBundleShortVersionString", "\x51x", "\x55" "9.7.5"};
    for (std::string& array : nestedArrays(200000, 1, 4)) binary.push_back(std::move(array));
    for (const std::string& plist : {"<plist><dict>" + key + repeated("<array>", 250000) +
                                         repeated("</array>", 250000) + "</dict></plist>",
                                     binaryPlist(binary)}) {
        window.updateVersion(bundle("Deep.app", plist));
        EXPECT_EQ(window.lblVersion() + std::to_string(window.installEnabled()), "-0");
    }
}

TEST_F(Installer, RefusesToInstallThroughASymbolicLink) {
    fs::create_directories(data + "/corviLanePro");
    const std::string elsewhere = dir.file("elsewhere"), scripts = "/Contents/App-Resources/MIDI Remote Scripts";
    for (const std::string& linked : Lines{"/Contents", scripts, scripts + "/corviLane"}) {
        fs::remove_all(apps);
        fs::remove_all(elsewhere);
        const std::string live = bundle("Live.app");
        fs::rename(live + linked, elsewhere);
        fs::create_directory_symlink(elsewhere, live + linked);
        user.alerts.clear();
        window.setCurrentText(live);
        window.btnInstallClick();
        EXPECT_EQ(user.alerts, Lines{"inform|Cannot install|" + live + linked + " is a symbolic link. The script is "
                                     "installed only inside the Live folder chosen, never where a link leads. "
                                     "Nothing was changed.|OK"});
        EXPECT_EQ(installed(live) + " " + std::to_string(files.list(live + scripts).size()), "old 1") << linked;
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
    // A reading given up finds nothing; a path typed after a choice has no
    // version until it is read, and nothing can be installed there.
    EXPECT_EQ(window.readVersion(live11, std::atomic<bool>{true}), std::nullopt);
    window.setCurrentText(live9);
    EXPECT_EQ(window.lblVersion() + (window.installEnabled() ? " enabled" : ""), "-");
}

TEST_F(Installer, ReplacesTheScriptWithTheFolderForTheVersion) {
    struct Row {
        std::string version;  // empty: none read
        Lines present;
        std::string failing, installed;
        Lines alerts;
        bool closed;
    } const rows[] = {
        {"8.4", {"corviLane8", "corviLanePro"}, "", "corviLane8", {"inform|Success|Successfully installed corviLane Pro to Live 8!|Ok"}, true},
        {"11.0", {"corviLane8", "corviLanePro"}, "", "corviLanePro", {"inform|Success|Successfully installed corviLane Pro to Live 11!|Ok"}, true},
        {"", {"corviLanePro"}, "", "corviLanePro", {"inform|Success|Successfully installed corviLane Pro to Live 0!|Ok"}, true},
        // Without the script folder needed, Install asks for it; cancelled, nothing changes.
        {"8.4", {"corviLanePro"}, "", "old", {}, false},
        // Installed; the old copy that could not be removed is reported (and left under its hidden name).
        {"11.0", {"corviLanePro"}, "remove", "corviLanePro",
         {"inform|Success|Successfully installed corviLane Pro to Live 11!|Ok", "error|cannot remove"}, true},
        // A failed copy or swap leaves the old script in place and no half copy beside it.
        {"11.0", {"corviLanePro"}, "copy", "old", {"error|cannot copy"}, false},
        {"11.0", {"corviLanePro"}, "replace", "old", {"error|cannot replace"}, false},
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
        EXPECT_EQ(user.alerts, row.alerts);
        EXPECT_EQ(installed(live), row.installed);
        EXPECT_EQ(installer.closed(), row.closed);
        const Lines beside = files.list(live + "/Contents/App-Resources/MIDI Remote Scripts");
        EXPECT_EQ(beside.size(), row.failing == "remove" ? 2u : 1u) << row.failing;
    }
}

}  // namespace

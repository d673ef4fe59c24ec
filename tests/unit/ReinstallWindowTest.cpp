#include "ReinstallWindow.h"

#include "FrontendFakes.h"
#include "LiveVersion.h"
#include "LocalFileSystem.h"
#include "TempDir.h"

#include <plist/plist.h>

#include <gtest/gtest.h>

#include <cstdlib>

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

std::string infoPlist(const std::string& version, bool binary) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "CFBundleShortVersionString", plist_new_string(version.c_str()));
    char* data = nullptr;
    uint32_t length = 0;
    binary ? plist_to_bin(dict, &data, &length) : plist_to_xml(dict, &data, &length);
    std::string bytes(data, length);
    std::free(data);
    plist_free(dict);
    return bytes;
}

// A Windows executable's fixed version block with product version a.b.c.
std::string versionBlock(unsigned a, unsigned b, unsigned c) {
    auto word = [](unsigned v) { return std::string{char(v & 0xFF), char(v >> 8)}; };
    auto dword = [&](unsigned v) { return word(v & 0xFFFF) + word(v >> 16); };
    std::string block = word(0x300) + word(52) + word(0);
    for (char ch : std::string("VS_VERSION_INFO")) block += std::string{ch, 0};
    block += std::string(4, '\0');  // terminator and padding
    block += dword(0xFEEF04BD) + dword(0x10000) + dword(0) + dword(0) + dword(a << 16 | b) + dword(c << 16);
    return block + std::string(28, '\0');
}

struct Installer : ::testing::Test {
    TempDir dir;
    const std::string apps = dir.file("Applications"), prefix = dir.file("wine"), data = dir.file("share");
    struct FailingFiles : LocalFileSystem {
        bool failRemove = false, failCopy = false;
        std::string removeAll(const std::string& path) override {
            return failRemove ? "cannot remove" : LocalFileSystem::removeAll(path);
        }
        std::string copyAll(const std::string& from, const std::string& to) override {
            if (!failCopy) return LocalFileSystem::copyAll(from, to);
            fs::create_directories(to + "/half");
            return "cannot copy";
        }
    } files;
    FakeAlerts alerts;
    FakePicker picker;
    FakeConsole console;
    ReinstallWindow window{{files, alerts, picker, console}, {apps, prefix, data}};

    std::string bundle(const std::string& name, const std::optional<std::string>& plist) {
        const std::string live = apps + "/" + name;
        fs::create_directories(live + "/Contents/App-Resources/MIDI Remote Scripts");
        if (plist) writeFile(live + "/Contents/Info.plist", *plist);
        return live;
    }
    std::string wineLive(const std::string& name, const std::string& executable) {
        const std::string live = prefix + "/drive_c/ProgramData/Ableton/" + name;
        fs::create_directories(live + "/Resources/MIDI Remote Scripts");
        fs::create_directories(live + "/Program");
        writeFile(live + "/Program/" + name + ".exe", executable);
        return live;
    }
    void scriptFolder(const std::string& name) {
        fs::create_directories(data + "/" + name + "/sub");
        writeFile(data + "/" + name + "/sub/__init__.py", name);
    }
    bool has(const std::string& line) const {
        return std::find(console.lines.begin(), console.lines.end(), line) != console.lines.end();
    }
};

TEST_F(Installer, VersionRuleAndFirstDotSplit) {
    struct Row {
        std::string text, parts;
        long long combined;
        bool outdated;
    };
    const Row rows[] = {
        {"9.7.5", "9 7 5", 975, false},   {"9.6.4", "9 6 4", 964, true},    {"9.6.5", "9 6 5", 965, false},
        {"9.2.5", "9 2 5", 925, false},   {"8.4", "8 4 4", 844, false},     {"8.3.1", "8 3 1", 831, true},
        {"7.0.2", "7 0 2", 702, true},    {"10.1.25", "10 1 25", 1035, false}, {"11.0", "11 0 0", 1100, false},
        {"9.7", "9 7 7", 977, false},     {"10", "10 10 10", 1110, false},   {"11b2.x", "11 0 0", 1100, false},
        {"99999999999.1", "2147483647 1 1", 214748364711LL, false},
    };
    bool binary = false;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        binary = !binary;
        alerts.shown.clear();
        window.updateVersion(bundle("Live " + row.text + ".app", infoPlist(row.text, binary)));
        const LiveVersion v = LiveVersion::parse(row.text);
        EXPECT_EQ(std::to_string(v.major) + " " + std::to_string(v.sub) + " " + std::to_string(v.minor), row.parts);
        EXPECT_TRUE(has("COMBINED VERSION: " + std::to_string(row.combined)));
        EXPECT_EQ(window.version(), v.major);
        EXPECT_EQ(window.lblVersion(), row.text);
        EXPECT_TRUE(window.installEnabled());
        const std::string warning = "sheet|Outdated Version of Live|Please Update to the latest Version of Live. "
                                    "Your Live Version : " + std::to_string(v.major) + "." + std::to_string(v.sub) +
                                    "." + std::to_string(v.minor) + "|OK";
        EXPECT_EQ(alerts.shown, row.outdated ? std::vector<std::string>{warning} : std::vector<std::string>{});
    }
    // A NUL byte inside the string ends the text (libplist's own getter aborts on it).
    window.updateVersion(bundle("Nul.app", "<plist><dict><key>CFBundleShortVersionString</key><string>9.7.5\0x"
                                           "</string></dict></plist>"s));
    EXPECT_EQ(window.lblVersion(), "9.7.5");
    // No version to read: "-" and no install, whatever was shown before.
    for (const std::optional<std::string>& plist : {std::optional<std::string>(), std::optional<std::string>("<plist"),
                                                    std::optional<std::string>(infoPlist("", false).replace(
                                                        infoPlist("", false).find("CFBundle"), 8, "XXBundle"))}) {
        window.updateVersion(bundle("NoVersion.app", plist));
        EXPECT_EQ(window.lblVersion(), "-");
        EXPECT_FALSE(window.installEnabled());
    }
}

TEST_F(Installer, FindsBundlesAndWineInstallations) {
    const std::string live9 = bundle("Ableton Live 9.app", std::nullopt);
    bundle("Other/Ableton Live 10.app", std::nullopt);  // in a sub-folder: not listed
    fs::create_directories(apps + "/TextEdit.app/Contents");
    // The version block straddles two pieces of the scan.
    const std::string exe = std::string((4 << 20) - 40, 'x') + versionBlock(11, 3, 2) + "tail";
    const std::string live11 = wineLive("Live 11 Suite", exe);
    fs::create_directories(prefix + "/drive_c/ProgramData/Ableton/Live 10 Trial/Program");
    window.windowDidLoad();
    EXPECT_EQ(window.versions(), (std::vector<std::string>{live9, live11}));

    picker.choice = live11;
    window.btnBrowseClick();
    EXPECT_EQ(window.currentText(), live11);
    EXPECT_EQ(window.lblVersion(), "11.3.2");
    EXPECT_EQ(window.targetFor(live11), live11 + "/Resources/MIDI Remote Scripts/corviLane");
    EXPECT_EQ(window.targetFor(live9), live9 + "/Contents/App-Resources/MIDI Remote Scripts/corviLane");
    picker.choice.reset();
    window.btnBrowseClick();
    EXPECT_EQ(window.currentText(), live11);
}

TEST_F(Installer, InstallsTheFolderForTheVersionReplacingTheOldOne) {
    struct Row {
        std::string version;  // empty: none read
        std::vector<std::string> present;
        std::string installed;  // empty: nothing may change
    };
    const Row rows[] = {
        {"8.4", {"corviLane8", "corviLanePro"}, "corviLane8"},
        {"11.0", {"corviLane8", "corviLanePro"}, "corviLanePro"},
        {"", {"corviLanePro"}, "corviLanePro"},
        {"8.4", {"corviLanePro"}, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.version + " " + row.installed);
        fs::remove_all(data);
        for (const std::string& folder : row.present) scriptFolder(folder);
        const std::string live = bundle("Live.app", infoPlist(row.version, false));
        const std::string target = live + "/Contents/App-Resources/MIDI Remote Scripts/corviLane";
        fs::create_directories(target);
        writeFile(target + "/old.py", "old");
        ReinstallWindow installer({files, alerts, picker, console}, {apps, prefix, data});
        alerts.shown.clear();
        installer.setCurrentText(live);
        if (!row.version.empty()) installer.updateVersion(live);
        installer.btnInstallClick();
        if (row.installed.empty()) {
            EXPECT_EQ(alerts.shown, (std::vector<std::string>{
                                        "inform|Live script missing|This installation of corviLane has no Live script "
                                        "folder \"corviLane8\". It was looked for at " + data +
                                        "/corviLane8. Nothing was changed.|OK"}));
            EXPECT_TRUE(fs::exists(target + "/old.py"));
            EXPECT_FALSE(installer.closed());
            continue;
        }
        EXPECT_FALSE(fs::exists(target + "/old.py"));
        EXPECT_EQ(readFile(target + "/sub/__init__.py"), row.installed);
        EXPECT_EQ(alerts.shown.back(), "inform|Success|Successfully installed corviLane Pro to Live " +
                                           std::to_string(installer.version()) + "!|Ok");
        EXPECT_TRUE(installer.closed());
    }
}

TEST_F(Installer, AFailureShowsTheErrorAndKeepsTheWindowOpen) {
    scriptFolder("corviLanePro");
    const std::string live = bundle("Live.app", infoPlist("11.0", false));
    const std::string target = live + "/Contents/App-Resources/MIDI Remote Scripts/corviLane";
    for (const bool removal : {true, false}) {
        fs::create_directories(target);
        writeFile(target + "/old.py", "old");
        files.failRemove = removal;
        files.failCopy = !removal;
        alerts.shown.clear();
        window.setCurrentText(live);
        window.updateVersion(live);
        window.btnInstallClick();
        EXPECT_EQ(alerts.shown, (std::vector<std::string>{removal ? "error|cannot remove" : "error|cannot copy"}));
        EXPECT_FALSE(window.closed());
        // A failed removal keeps the old script; a failed copy leaves no half script behind.
        EXPECT_EQ(fs::exists(target), removal);
    }
}

}  // namespace

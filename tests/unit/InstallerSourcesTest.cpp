#include "ReinstallWindow.h"

#include "FrontendFakes.h"
#include "LocalFileSystem.h"
#include "TempDir.h"

#include <archive.h>
#include <archive_entry.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace {

// A zip of (name, contents) entries: a name ending with "/" is a folder,
// contents "->TARGET" a symbolic link.
void writeZip(const std::string& path, const std::vector<std::pair<std::string, std::string>>& entries) {
    const std::unique_ptr<archive, decltype(&archive_write_free)> zip(archive_write_new(), archive_write_free);
    archive_write_set_format_zip(zip.get());
    ASSERT_EQ(archive_write_open_filename(zip.get(), path.c_str()), ARCHIVE_OK);
    for (const auto& [name, contents] : entries) {
        const std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(),
                                                                                   archive_entry_free);
        const bool link = contents.rfind("->", 0) == 0, folder = name.back() == '/';
        archive_entry_set_pathname(entry.get(), name.c_str());
        archive_entry_set_filetype(entry.get(), link ? AE_IFLNK : folder ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(entry.get(), 0644);
        if (link) archive_entry_set_symlink(entry.get(), contents.c_str() + 2);
        archive_entry_set_size(entry.get(), link || folder ? 0 : static_cast<la_int64_t>(contents.size()));
        ASSERT_EQ(archive_write_header(zip.get(), entry.get()), ARCHIVE_OK) << name;
        if (!link && !folder) archive_write_data(zip.get(), contents.data(), contents.size());
    }
}

struct InstallerSources : ::testing::Test {
    TempDir dir;
    const std::string home = dir.file("home"), data = dir.file("share"), apps = dir.file("Applications");
    LocalFileSystem files;
    FakeUser user;
    FakeSettings settings;

    // A Live 11 under Wine in `prefix`.
    std::string wineLive(const std::string& prefix) {
        const std::string live = prefix + "/drive_c/ProgramData/Ableton/Live 11 Suite";
        fs::create_directories(live + "/Resources/MIDI Remote Scripts/corviLane");
        writeFile(live + "/Resources/MIDI Remote Scripts/corviLane/old.py", "old");
        return live;
    }
};

TEST_F(InstallerSources, FindsLiveInEveryWinePrefixAndSaysWhereItLooked) {
    const InstallerFolders folders{apps, dir.file("chosen"), data, home};
    // None found: the window lists every place it looked, a manager's prefixes by pattern.
    ReinstallWindow empty({files, user, user, user}, folders);
    empty.windowDidLoad();
    EXPECT_EQ(empty.installNote(false),
              "No Ableton Live was found. Looked in:\n    " + apps + "\n    " + folders.winePrefix +
                  "/drive_c/ProgramData/Ableton\n    " + home + "/.wine/drive_c/ProgramData/Ableton\n    " + home +
                  "/.local/share/bottles/bottles/*/drive_c/ProgramData/Ableton\n    " + home +
                  "/.var/app/com.usebottles.bottles/data/bottles/bottles/*/drive_c/ProgramData/Ableton\n    " + home +
                  "/Games/*/drive_c/ProgramData/Ableton\n    " + home +
                  "/.PlayOnLinux/wineprefix/*/drive_c/ProgramData/Ableton\nChoose Live's folder with Browse...");
    // In the order looked in; a folder without MIDI Remote Scripts is no Live.
    Lines expected;
    for (const std::string& prefix : {folders.winePrefix, home + "/.wine", home + "/.local/share/bottles/bottles/Live",
                                      home + "/.var/app/com.usebottles.bottles/data/bottles/bottles/Music",
                                      home + "/Games/ableton-live-11", home + "/.PlayOnLinux/wineprefix/Live11"}) {
        expected.push_back(wineLive(prefix));
    }
    fs::create_directories(home + "/Games/other-game/drive_c/ProgramData/Ableton/Live 10/Program");
    ReinstallWindow window({files, user, user, user}, folders);
    window.windowDidLoad();
    EXPECT_EQ(window.versions(), expected);
    // The first is chosen; Install waits for its version, and says why when it has none.
    EXPECT_EQ(window.currentText(), expected.front());
    EXPECT_EQ(window.installNote(false), "Install waits until the version of this Live has been read.");
    window.showVersion(window.currentText(), std::nullopt);
    EXPECT_EQ(window.installNote(false), "No version of Live was found in " + expected.front() +
                                             ": choose Live's folder (holding Program and Resources) or its "
                                             "application bundle.");
}

TEST_F(InstallerSources, InstallsTheScriptChosenAndRefusesUnsafeArchives) {
    const std::string script = "corviLanePro/__init__.py", mib = std::string(1 << 20, '\0');
    std::vector<std::pair<std::string, std::string>> tooMany, tooBig;
    for (int i = 0; i <= 10000; ++i) tooMany.emplace_back("corviLanePro/" + std::to_string(i), "");
    for (int i = 0; i < 65; ++i) tooBig.emplace_back("corviLanePro/" + std::to_string(i), mib);
    const struct Row {
        std::string chosen;  // below dir; "" cancels
        std::vector<std::pair<std::string, std::string>> zip;
        std::string alert, remembered;  // the alert's start; what is remembered
    } rows[] = {
        {"tablet app", {}, "", "tablet app"},
        {"tablet app/corviLanePro", {}, "", "tablet app"},
        {"Downloads", {}, "inform|Not the Live script|", ""},
        {"", {}, "", ""},
        {"script.zip", {{"corviLanePro/", ""}, {script, "new"}}, "", "script.zip"},
        {"nested.ZIP", {{"__MACOSX/corviLanePro/._x", "fork"}, {"Live script/" + script, "new"}}, "", "nested.ZIP"},
        {"absolute.zip", {{script, "new"}, {"/tmp/evil", "x"}}, "\"/tmp/evil\" is an absolute path", ""},
        {"dots.zip", {{script, "new"}, {"corviLanePro/../../evil", "x"}}, "leads out of its folder", ""},
        {"link.zip", {{script, "new"}, {"corviLanePro/home", "->/home"}}, "\"corviLanePro/home\" is a link", ""},
        {"big.zip", tooBig, "it would unpack to more than 64 MiB", ""},
        {"many.zip", tooMany, "it holds more than 10000 entries", ""},
    };
    for (const Row& row : rows) {
        fs::remove_all(home);
        fs::create_directories(dir.file("tablet app/corviLanePro"));
        writeFile(dir.file("tablet app/corviLanePro/__init__.py"), "new");
        fs::create_directories(dir.file("Downloads/corviLane"));
        if (!row.zip.empty()) writeZip(dir.file(row.chosen), row.zip);
        const std::string live = wineLive(home + "/.wine");
        settings.values.clear();
        user.alerts.clear();
        user.scripts = row.chosen.empty() ? std::nullopt : std::optional(dir.file(row.chosen) + "/");
        if (!row.zip.empty()) user.scripts = dir.file(row.chosen);
        ReinstallWindow window({files, user, user, user}, {apps, "", data, home}, &settings);
        window.windowDidLoad();
        window.btnInstallClick();
        const bool installed = row.alert.empty() && !row.remembered.empty();
        ASSERT_EQ(user.alerts.size(), installed || !row.alert.empty() ? 1u : 0u) << row.chosen;
        if (!installed && !row.alert.empty()) {
            EXPECT_NE(user.alerts[0].find(row.alert), std::string::npos) << user.alerts[0];
        }
        const std::string scripts = live + "/Resources/MIDI Remote Scripts";
        EXPECT_EQ(readFile(scripts + (installed ? "/corviLane/__init__.py" : "/corviLane/old.py")),
                  installed ? "new" : "old") << row.chosen;
        EXPECT_EQ(files.list(scripts), Lines{"corviLane"}) << row.chosen;  // no half copy, nothing beside it
        EXPECT_FALSE(fs::exists(home + "/evil") || fs::exists("/tmp/evil") || fs::exists(live + "/evil"));
        const auto remembered = settings.value(ReinstallWindow::kScriptSourceKey);
        EXPECT_EQ(remembered.value_or(""), row.remembered.empty() ? "" : dir.file(row.remembered)) << row.chosen;
        if (!remembered) continue;
        // Remembered: the next window installs from it without asking, and says so.
        user.scripts.reset();
        ReinstallWindow next({files, user, user, user}, {apps, "", data, home}, &settings);
        next.windowDidLoad();
        next.showVersion(live, "11.3.2");
        EXPECT_EQ(next.installNote(false), "Installs corviLanePro from " + *remembered + " into " + scripts +
                                               "/corviLane");
    }
}

}  // namespace

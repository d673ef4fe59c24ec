#include "AppDelegate.h"

#include "FrontendFakes.h"
#include "TempDir.h"

#include <gtest/gtest.h>

namespace {

using Argv = std::vector<std::string>;
const Argv kEnable = {"systemctl", "--user", "enable", "--now", "corvilane.service"};
const Argv kDisable = {"systemctl", "--user", "disable", "--now", "corvilane.service"};

struct Delegate {
    FakeCommands commands;
    FakeSettings settings;
    FakeServer server;
    FakeConsole console;
    FakeHost host;
    AppDelegate delegate{{commands, settings, server, console, host}};
    Delegate() { host.commands = &commands; }
    std::string title(std::size_t row) const { return delegate.menu()[row].title; }
};

TEST(AppDelegateTest, RegistersTheUserServiceUnlessStartedAsIt) {
    struct Row {
        Argv arguments;
        Argv console;
        int installerRuns;
        int systemctlStatus;  // -2: no systemctl run
        int serverStarts;     // once start-up and systemctl are done
        int exitStatus;
    };
    const Row rows[] = {
        {{"/usr/bin/corvilane-tray"}, {"registering corviLane for launchd: (/usr/bin/corvilane-tray)"}, 0, 0, 0, 0},
        {{"tray", "-afterinstall"},
         {"starting after-install", "registering corviLane for launchd: (tray, -afterinstall)"}, 1, 0, 0, 0},
        // Without a user service manager the program runs the server itself.
        {{"tray"}, {"registering corviLane for launchd: (tray)",
                    "systemctl could not enable corvilane.service (status 1); running without the user service"},
         0, 1, 1, -1},
        {{"tray", "-service"}, {"Not registering corviLane for launchd: (tray, -service)"}, 0, -2, 1, -1},
        {{"tray", "-AFTERINSTALL", "x"}, {"Not registering corviLane for launchd: (tray, -AFTERINSTALL, x)"}, 0, -2, 1, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.arguments.back());
        Delegate d;
        d.delegate.applicationDidFinishLaunching(row.arguments);
        EXPECT_EQ(d.host.serverStarts, 0 + (row.systemctlStatus == -2));
        if (row.systemctlStatus != -2) {
            ASSERT_EQ(d.commands.calls.size(), 1u);
            EXPECT_EQ(d.commands.calls[0].argv, kEnable);
            d.commands.calls[0].finished(row.systemctlStatus);
        } else {
            EXPECT_TRUE(d.commands.calls.empty());
        }
        EXPECT_EQ(d.console.lines, row.console);
        EXPECT_EQ(d.host.installerRuns, row.installerRuns);
        EXPECT_EQ(d.host.serverStarts, row.serverStarts);
        EXPECT_EQ(d.host.exitStatus, row.exitStatus);
    }
}

TEST(AppDelegateTest, QuitDisablesTheServiceWithoutWaitingThenEndsAtOnce) {
    Delegate d;
    d.delegate.quit();
    ASSERT_EQ(d.commands.calls.size(), 1u);
    EXPECT_EQ(d.commands.calls[0].argv, kDisable);
    EXPECT_FALSE(d.commands.calls[0].finished);
    EXPECT_EQ(d.host.exitStatus, 0);
    EXPECT_EQ(d.host.commandsBeforeExit, 1u);
}

TEST(AppDelegateTest, RefreshShowsTheServerCounters) {
    struct Row {
        std::optional<std::string> stored;
        std::uint64_t now, lastPong;
        std::size_t usb, wifi, connected;
        std::string studio, surface;
    };
    const Row rows[] = {
        {std::nullopt, 100, 91, 0, 0, 0, "Off", "Yes"},  // 9 s old
        {"1", 100, 90, 2, 3, 4, "On", "No"},             // 10 s old
        {"0", 9, 0, 0, 1, 0, "Off", "Yes"},              // never answered, clock at 9 s: age 9
        {"7", 10, 0, 0, 0, 0, "On", "No"},               // never answered, clock at 10 s
        {"on", 100, 101, 0, 0, 0, "Off", "No"},          // a pong ahead of the clock
    };
    for (const Row& row : rows) {
        Delegate d;
        if (row.stored) d.settings.values["stud_mode"] = *row.stored;
        d.server.studio = row.studio == "Off";
        d.server.now = row.now;
        d.server.lastPong = row.lastPong;
        d.server.usb = row.usb;
        d.server.wifi = row.wifi;
        d.server.connected = row.connected;
        d.delegate.refresh();
        EXPECT_EQ(d.title(AppDelegate::kStudioRow), "Studio Mode: " + row.studio);
        EXPECT_EQ(d.server.studio, row.studio == "On");
        EXPECT_EQ(d.title(AppDelegate::kSurfaceRow), "Control Surface responding: " + row.surface);
        EXPECT_EQ(d.server.available, row.surface == "Yes");
        EXPECT_EQ(d.title(AppDelegate::kUsbRow), "Devices plugged via USB: " + std::to_string(row.usb));
        EXPECT_EQ(d.title(AppDelegate::kWifiRow), "Devices responding via WiFi: " + std::to_string(row.wifi));
        EXPECT_EQ(d.title(AppDelegate::kConnectionsRow), "Active Connections: " + std::to_string(row.connected));
    }
}

TEST(AppDelegateTest, StudioModeTogglesTheFlagAndStoresIt) {
    Delegate d;
    EXPECT_EQ(d.title(AppDelegate::kStudioRow), "Studio Mode: On");  // until the first refresh
    d.delegate.refresh();
    for (const char* expected : {"1", "0", "1"}) {
        d.delegate.toggle_studio_mode();
        const bool on = expected == std::string("1");
        EXPECT_EQ(d.server.studio, on);
        EXPECT_EQ(d.title(AppDelegate::kStudioRow), on ? "Studio Mode: On" : "Studio Mode: Off");
        EXPECT_EQ(d.settings.values["stud_mode"], expected);
    }
    EXPECT_EQ(d.settings.syncs, 3);
}

TEST(AppDelegateTest, DeviceNameKeepsOnlyPlainCharacters) {
    const std::pair<std::string, std::string> rows[] = {
        {"PRETTY_HOSTNAME=\"My Mac (2)\"\n", "My Mac 2"},
        {"ICON_NAME=computer\nPRETTY_HOSTNAME='Zo\xC3\xAB'\\''s Studio!'\n", "Zo's Studio!"},
        {"PRETTY_HOSTNAME=\"Anna\\\"s_PC-1.0\"\n", "Annas_PC-1.0"},
        {"PRETTY_HOSTNAME=\"(\xE2\x99\xAA)\"\n", ""},
    };
    TempDir dir;
    for (const auto& [content, expected] : rows) {
        writeFile(dir.file("machine-info"), content);
        EXPECT_EQ(get_device_name(dir.file("machine-info")), expected) << content;
    }
    // No pretty name: the host name, filtered the same way.
    const std::string host = get_device_name(dir.file("missing"));
    EXPECT_FALSE(host.empty());
    EXPECT_EQ(host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 _-.!'"),
              std::string::npos);
}

}  // namespace

#include "AppDelegate.h"

#include "FrontendFakes.h"
#include "TempDir.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

struct Delegate {
    FakeCommands commands;
    FakeSettings settings;
    FakeServer server;
    FakeUser user;
    FakeHost host{commands};
    AppDelegate delegate{{commands, settings, server, user, host}};
    std::string title(std::size_t row) const { return delegate.menu()[row].title; }
};

TEST(AppDelegateTest, RegistersTheUserServiceUnlessStartedAsItAndQuitUnregisters) {
    const std::string registering = "Registering corviLane as the user service corvilane.service: ";
    struct Row {
        Lines arguments, console;
        int installerRuns;
        std::vector<int> systemctl;  // the status of enable, then of start; none: not run
        int serverStarts, exitStatus;
    } const rows[] = {
        {{"/usr/bin/corvilane-tray"}, {registering + "(/usr/bin/corvilane-tray)"}, 0, {0, 0}, 0, 0},
        {{"t", "-afterinstall"}, {"starting after-install", registering + "(t, -afterinstall)"}, 1, {0, 0}, 0, 0},
        // Without a user service manager the program runs the server itself.
        {{"t"}, {registering + "(t)",
                 "systemctl could not enable corvilane.service (status 1); running without the user service"},
         0, {1}, 1, -1},
        {{"t"}, {registering + "(t)", "corvilane.service is enabled for the next login, but systemctl could not "
                                      "start it now (status 5); running the server here meanwhile"},
         0, {0, 5}, 1, -1},
        {{"t", "-service"}, {"Not registering corviLane as the user service corvilane.service: (t, -service)"}, 0,
         {}, 1, -1},
        {{"t", "-AFTERINSTALL", "x"},
         {"Not registering corviLane as the user service corvilane.service: (t, -AFTERINSTALL, x)"}, 0, {}, 1, -1},
    };
    for (const Row& row : rows) {
        Delegate d;
        d.delegate.applicationDidFinishLaunching(row.arguments);
        for (std::size_t step = 0; step < row.systemctl.size(); ++step) {
            EXPECT_EQ(d.host.serverStarts, 0);  // not before systemctl ends
            ASSERT_EQ(d.commands.calls.size(), step + 1);
            EXPECT_EQ(d.commands.calls[step].first,
                      (Lines{"systemctl", "--user", step == 0 ? "enable" : "start", "corvilane.service"}));
            d.commands.calls[step].second(row.systemctl[step]);
        }
        EXPECT_EQ(d.commands.calls.size(), row.systemctl.size());
        EXPECT_EQ(d.user.lines, row.console);
        EXPECT_EQ(std::vector<int>({d.host.installerRuns, d.host.serverStarts, d.host.exitStatus}),
                  std::vector<int>({row.installerRuns, row.serverStarts, row.exitStatus}));
    }
    // Quit disables the service without waiting for systemctl, then ends at once.
    Delegate d;
    d.delegate.quit();
    ASSERT_EQ(d.commands.calls.size(), 1u);
    EXPECT_EQ(d.commands.calls[0].first, (Lines{"systemctl", "--user", "disable", "--now", "corvilane.service"}));
    EXPECT_FALSE(d.commands.calls[0].second);
    EXPECT_EQ(d.host.exitStatus, 0);
    EXPECT_EQ(d.host.commandsBeforeExit, 1u);
}

TEST(AppDelegateTest, RefreshShowsTheServerCountersAndStudioModeTogglesAndStores) {
    struct Row {
        std::optional<std::string> stored;
        bool responding;
        std::size_t usb, wifi, connected;
        std::string studio, surface;
    } const rows[] = {
        {std::nullopt, true, 0, 0, 0, "Off", "Yes"},
        {"1", false, 2, 3, 4, "On", "No"},
        {"0", true, 0, 1, 0, "Off", "Yes"},
        {"7", false, 0, 0, 0, "On", "No"},
        {"on", false, 0, 0, 0, "Off", "No"},
    };
    for (const Row& row : rows) {
        Delegate d;
        if (row.stored) d.settings.values["stud_mode"] = *row.stored;
        d.server.studio = row.studio == "Off";
        std::tie(d.server.responding, d.server.usb, d.server.wifi, d.server.connected) =
            std::tie(row.responding, row.usb, row.wifi, row.connected);
        d.delegate.refresh();
        EXPECT_EQ(d.server.studio, row.studio == "On");
        EXPECT_EQ((Lines{d.title(2), d.title(4), d.title(6), d.title(7), d.title(9)}),
                  (Lines{"Studio Mode: " + row.studio, "Control Surface responding: " + row.surface,
                         "Devices plugged via USB: " + std::to_string(row.usb),
                         "Devices responding via WiFi: " + std::to_string(row.wifi),
                         "Active Connections: " + std::to_string(row.connected)}));
    }
    // Each confirmed tablet's line, as the server gives it, is refreshed too.
    Delegate tablets;
    tablets.server.lines = {"Stage Pad: Wi-Fi 192.168.1.23, 12 ms"};
    tablets.delegate.refresh();
    EXPECT_EQ(tablets.delegate.tabletLines(), tablets.server.lines);
    // The toggle flips the flag and stores it; the title says "On" until the first refresh.
    Delegate d;
    EXPECT_EQ(d.title(AppDelegate::kStudioRow), "Studio Mode: On");
    d.delegate.refresh();
    for (const std::string stored : {"1", "0", "1"}) {
        d.delegate.toggle_studio_mode();
        EXPECT_EQ(d.server.studio, stored == "1");
        EXPECT_EQ(d.title(AppDelegate::kStudioRow), stored == "1" ? "Studio Mode: On" : "Studio Mode: Off");
        EXPECT_EQ(d.settings.values["stud_mode"], stored);
    }
    EXPECT_EQ(d.settings.syncs, 3);
}

}  // namespace

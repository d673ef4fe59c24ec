// The menu reads the server's counters while the server starts and stops: under
// the sanitizers no read may race a registry change or reach a released object.
#include "OsxService.h"
#include "RegistryServerStatus.h"
#include "TempDir.h"
#include "corviLaneServer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>

TEST(RegistryServerStatusTest, ReadsWhileTheServerStartsAndStops) {
    TempDir dir;
    std::filesystem::current_path(dir.path());
    // Whatever daemons this machine runs, the server here meets none: no bus
    // for Avahi, no usbmuxd, no JACK server.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir.file("no-bus")).c_str(), 1);
    setenv("USBMUXD_SOCKET_ADDRESS", "127.0.0.1:1", 1);
    setenv("JACK_DEFAULT_SERVER", "corvilane-registry-test-none", 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    RegistryServerStatus status;
    std::uint64_t total = 0;
    auto readEverything = [&] {
        total += status.wifiSessionCount() + status.connectedSessionCount() + (status.scriptResponding() ? 1 : 0);
    };
    auto server = std::async(std::launch::async, [] { return osxMain(0, nullptr); });
    // The studio flag holds once the meter thread exists. A slow machine may
    // take a while to start; whatever happens, the server is told to stop, so
    // that a failure here ends the test instead of leaving it waiting.
    bool started = false;
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         !started && std::chrono::steady_clock::now() < until; readEverything()) {
        status.setStudioMode(true);
        started = status.studioMode();
    }
    daemonRunning = false;
    while (server.wait_for(std::chrono::seconds(0)) != std::future_status::ready) readEverything();
    ASSERT_TRUE(started);
    EXPECT_EQ(server.get() + total, 0u);  // no tablet, no script
    EXPECT_FALSE(status.studioMode());
}

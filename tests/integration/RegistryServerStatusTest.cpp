// The menu reads the server's counters while the server starts and stops: under
// the sanitizers no read may race a registry change or reach a released object.
#include "OsxService.h"
#include "RegistryServerStatus.h"
#include "TempDir.h"
#include "corviLaneServer.h"

#include <gtest/gtest.h>

#include <future>

TEST(RegistryServerStatusTest, ReadsWhileTheServerStartsAndStops) {
    TempDir dir;
    std::filesystem::current_path(dir.path());
    RegistryServerStatus status;
    std::uint64_t total = 0;
    auto readEverything = [&] {
        status.setScriptAvailable(false);
        total += status.wifiSessionCount() + status.connectedSessionCount() + status.scriptLastPong();
    };
    auto server = std::async(std::launch::async, [] { return osxMain(0, nullptr); });
    // The studio flag holds once the meter thread exists.
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5); !status.studioMode(); readEverything()) {
        ASSERT_LT(std::chrono::steady_clock::now(), until);
        status.setStudioMode(true);
    }
    daemonRunning = false;
    while (server.wait_for(std::chrono::seconds(0)) != std::future_status::ready) readEverything();
    EXPECT_EQ(server.get() + total, 0u);  // no tablet, no script
    EXPECT_FALSE(status.studioMode());
}

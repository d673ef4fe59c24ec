// The status menu reads the server's counters from another thread while the
// server starts, runs and stops; under the sanitizers this shows that no read
// races a registry change or reaches a released object.
#include "OsxService.h"
#include "RegistryServerStatus.h"

#include "TempDir.h"
#include "corviLaneServer.h"

#include <gtest/gtest.h>

#include <future>

using namespace std::chrono_literals;

namespace {

TEST(RegistryServerStatusTest, ReadsWhileTheServerStartsAndStops) {
    TempDir dir;
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    RegistryServerStatus status;
    auto readEverything = [&status] {
        status.setScriptAvailable(false);
        return status.wifiSessionCount() + status.usbSessionCount() + status.connectedSessionCount() +
               status.scriptLastPong();
    };

    auto server = std::async(std::launch::async, [] { return osxMain(0, nullptr); });
    std::size_t total = 0;
    // Until the meter thread takes the studio flag the server is still starting.
    for (auto until = std::chrono::steady_clock::now() + 5s; !status.studioMode();) {
        ASSERT_LT(std::chrono::steady_clock::now(), until);
        status.setStudioMode(true);
        total += readEverything();
    }
    daemonRunning = false;
    while (server.wait_for(0s) != std::future_status::ready) total += readEverything();
    EXPECT_EQ(server.get(), 0);
    EXPECT_EQ(total, 0u);  // no tablet, no script
    EXPECT_FALSE(status.studioMode());
    std::filesystem::current_path(previous);
}

}  // namespace

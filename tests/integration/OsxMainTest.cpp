// The service entry called in-process, as the tray application calls it.
#include "OsxService.h"

#include "ChildProcess.h"
#include "SimulatedLiveScript.h"
#include "TempDir.h"
#include "corviLaneServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

using namespace std::chrono_literals;

namespace {

TEST(OsxMainTest, NoArgumentsRunsTheServiceUntilShutdownIsRequested) {
    TempDir dir;
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());

    SimulatedLiveScript script(9008);  // where the server looks for Live's script first
    auto result = std::async(std::launch::async, [] { return osxMain(0, nullptr); });
    // The entry sets daemonRunning once it is up, then pings the script until a tablet's shutdown clears it.
    const auto pings = [&] { return std::ranges::count_if(script.payloads(), SimulatedLiveScript::isPing); };
    EXPECT_TRUE(waitUntil([&] { return daemonRunning && pings() >= 3; }, 10s));
    EXPECT_EQ(result.wait_for(0s), std::future_status::timeout);
    daemonRunning = false;
    ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    EXPECT_EQ(_settings, nullptr);

    const std::string log = readFile(dir.file("corvilane-server.log"));
    EXPECT_NE(log.find(" INFO Finished.\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Terminated!"), std::string::npos) << "no signal was sent";
    std::filesystem::current_path(previous);
}

}  // namespace

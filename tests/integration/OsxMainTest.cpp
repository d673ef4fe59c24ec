// The service entry called in-process, as the tray application calls it.
#include "OsxService.h"

#include "TempDir.h"
#include "corviLaneServer.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <future>
#include <thread>

using namespace std::chrono_literals;

namespace {

TEST(OsxMainTest, NoArgumentsRunsTheServiceUntilShutdownIsRequested) {
    TempDir dir;
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());

    auto result = std::async(std::launch::async, [] { return osxMain(0, nullptr); });
    // The entry sets daemonRunning once it is up; a tablet's shutdown clears it.
    while (!daemonRunning) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(result.wait_for(300ms), std::future_status::timeout);
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

// The menu reads the server's counters while the server starts and stops: under
// the sanitizers no read may race a registry change or reach a released object.
#include "OsxService.h"
#include "RegistryServerStatus.h"
#include "SimulatedTablet.h"
#include "SimulatedUsbmuxd.h"
#include "TempDir.h"
#include "TestSockets.h"
#include "corviLaneServer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <future>

TEST(RegistryServerStatusTest, ReadsWhileTheServerStartsAndStops) {
    TempDir dir;
    std::filesystem::current_path(dir.path());
    // Whatever daemons this machine runs, the server here meets none: no bus
    // for Avahi, a simulated usbmux daemon, no JACK server; its Wi-Fi port is a free one.
    SimulatedUsbmuxd usbmuxd;
    const std::uint16_t port = sockets::localPort(sockets::listenLoopback(0).get());
    writeFile("corvilane-server.conf", "wifi.port=" + std::to_string(port) + "\n");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir.file("no-bus")).c_str(), 1);
    setenv("USBMUXD_SOCKET_ADDRESS", usbmuxd.address().c_str(), 1);
    setenv("JACK_DEFAULT_SERVER", "corvilane-registry-test-none", 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    RegistryServerStatus status;
    std::uint64_t total = 0;
    auto readEverything = [&] {
        total += status.wifiSessionCount() + status.usbSessionCount() + status.connectedSessionCount() +
                 (status.scriptResponding() ? 1 : 0);
    };
    auto server = std::async(std::launch::async, [] { return osxMain(0, nullptr); });
    // The studio flag holds once the meter thread exists; the Wi-Fi listener says when it listens. A slow
    // machine may take a while to start; whatever happens, the server is told to stop, so that a failure here
    // ends the test instead of leaving it waiting.
    bool started = false;
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         !started && std::chrono::steady_clock::now() < until; readEverything()) {
        status.setStudioMode(true);
        started = status.studioMode() &&
                  readFile("corvilane-server.log").find("Started listening") != std::string::npos;
    }
    EXPECT_EQ(total, 0u);  // no tablet yet, no script
    // Two tablets on Wi-Fi and one by cable, all confirmed.
    SimulatedTablet first(port), second(port);
    usbmuxd.attach(1, "serial-1");
    const std::unique_ptr<SimulatedTablet> cable = usbmuxd.waitForTablet(std::chrono::seconds(5));
    for (SimulatedTablet* ipad : {&first, &second, cable.get()}) {
        if (ipad != nullptr) ipad->sendMessage({"/server/ping", {1}});
        EXPECT_TRUE(ipad != nullptr && ipad->waitFor("/server/pong").has_value());
    }
    EXPECT_EQ((std::array{status.wifiSessionCount(), status.usbSessionCount(), status.connectedSessionCount()}),
              (std::array<std::size_t, 3>{2, 1, 3}));
    daemonRunning = false;
    while (server.wait_for(std::chrono::seconds(0)) != std::future_status::ready) readEverything();
    ASSERT_TRUE(started);
    EXPECT_EQ(server.get(), 0);
    EXPECT_FALSE(status.studioMode());
}

// Tablets plugged in by cable, end to end: the real libusbmuxd against a
// simulated usbmux daemon, the whole server as startThreads builds it.
#include "RelayFixture.h"
#include "TestSockets.h"

#include "Console.h"
#include "SimulatedUsbmuxd.h"
#include "UsbServerThread.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>

using namespace std::chrono_literals;
using namespace std::string_literals;
using osctest::Message;

namespace {

class UsbTest : public RelayTest {
protected:
    void SetUp() override {
        m_Usbmuxd = std::make_unique<SimulatedUsbmuxd>(daemonPort());
        setenv("USBMUXD_SOCKET_ADDRESS", ("127.0.0.1:" + std::to_string(m_Usbmuxd->port())).c_str(), 1);
        RelayTest::SetUp();
    }
    void TearDown() override {
        RelayTest::TearDown();
        m_Usbmuxd.reset();
        unsetenv("USBMUXD_SOCKET_ADDRESS");
    }
    virtual std::uint16_t daemonPort() const { return 0; }

    // Plugs the device in and gives its tablet once the server has opened
    // the stream; `confirm` sends "/server/ping" 1 first.
    std::unique_ptr<SimulatedTablet> plugIn(std::uint32_t device, bool confirm = true) {
        m_Usbmuxd->attach(device, "serial-" + std::to_string(device));
        auto ipad = m_Usbmuxd->waitForTablet(5s);
        EXPECT_NE(ipad, nullptr);
        if (ipad && confirm) {
            ipad->sendMessage({"/server/ping", {1}});
            EXPECT_TRUE(ipad->waitFor("/server/pong").has_value());
        }
        return ipad;
    }
    static std::size_t usbSessions() { return _usbSrvThread->getClientCount(); }

    // Moves the clock on a second at a time until `done`, and says how many
    // seconds that took. A pause that began only after a step, or a step
    // noticed late, only makes the count larger; the clock also runs in real
    // time, which the short look after each step keeps under a second in all.
    static int secondsUntil(const std::function<bool()>& done) { return secondsUntilAfterSteps(1, done); }
    // The same, `step` seconds at a time (at most 60 steps).
    static int secondsUntilAfterSteps(int step, const std::function<bool()>& done) {
        for (int seconds = step; seconds <= 60 * step; seconds += step) {
            Clock::advanceForTesting(step);
            if (waitUntil(done, 50ms)) return seconds;
        }
        return -1;
    }

    std::unique_ptr<SimulatedUsbmuxd> m_Usbmuxd;
};

TEST_F(UsbTest, AttachedTabletsAreServedAndADetachEndsTheFirstSessionOfItsDevice) {
    openRelay();
    auto first = plugIn(7);
    auto second = plugIn(7);  // a second attach of the same device: a second session
    EXPECT_NE(log().find(" INFO Device connected: serial-7\n"), std::string::npos);
    EXPECT_EQ(usbSessions(), 2u);
    auto wifi = tablet(false);
    wifi->sendMessage({"/server/getstate", {}});
    EXPECT_EQ(*wifi->waitFor("/server/state"), (Message{"/server/state", {true, 1, 2}}));

    const std::string down = osctest::encode({"/track/name", {0, "Drums"s}});
    m_Script->sendFrame(down);
    EXPECT_EQ(first->waitFor("/track/name")->arguments[1], osctest::Argument("Drums"s));
    const std::string up = osctest::encode({"/clip/fire", {1, 2}});
    first->sendFrame(up);
    EXPECT_TRUE(m_Script->waitFor([&](const std::string& p) { return p == up; }).has_value());

    m_Usbmuxd->detach(7);
    EXPECT_TRUE(first->closedByServer());
    EXPECT_TRUE(waitUntil([] { return usbSessions() == 1; }, 3s));
    second->sendMessage({"/server/ping", {}});
    EXPECT_TRUE(second->waitFor("/server/pong").has_value());
}

// A tablet unplugged while its session still waits for the daemon, then
// plugged in and out again at once: each detach ends the session of its own
// attach at once (not when the daemon's answer would have been given up),
// and no session is left asking for a device that went.
TEST_F(UsbTest, UnpluggingEndsTheSessionOfThatAttachAtOnceEvenWhileItWaits) {
    m_Usbmuxd->holdConnections(true);
    m_Usbmuxd->attach(5, "serial-5");
    ASSERT_TRUE(waitUntil([&] { return m_Usbmuxd->connectAttempts(5) == 1; }, 3s));
    m_Usbmuxd->detach(5);
    EXPECT_TRUE(waitUntil([] { return usbSessions() == 0; }, 1s * kSlowdown));
    m_Usbmuxd->holdConnections(false);
    for (int plug = 0; plug < 2; ++plug) {
        m_Usbmuxd->attach(5, "serial-5");
        EXPECT_NE(m_Usbmuxd->waitForTablet(3s), nullptr) << plug;
        m_Usbmuxd->detach(5);
    }
    EXPECT_TRUE(waitUntil([] { return usbSessions() == 0; }, 3s * kSlowdown));
}

TEST_F(UsbTest, UnusableRecordsGetNoSessionAndRefusedConnectsAreRetriedAfterFiveSeconds) {
    Console::Capture console;
    m_Usbmuxd->attach(8, "serial-8", 0);
    EXPECT_TRUE(waitUntil([&] { return console.text().find("product id: 0 device id: 8 lockdown conn: 1\n") !=
                                       std::string::npos; }, 3s));
    EXPECT_EQ(usbSessions(), 0u);

    m_Usbmuxd->refuseConnections(true);
    m_Usbmuxd->attach(9, "serial-9");
    EXPECT_TRUE(waitUntil([] { return log().find(" ERROR USBMuxConnectByPort = ") != std::string::npos; }, 3s));
    EXPECT_EQ(m_Usbmuxd->connectAttempts(9), 1);
    EXPECT_GE(secondsUntil([&] { return m_Usbmuxd->connectAttempts(9) == 2; }), 4);
    m_Usbmuxd->refuseConnections(false);
    EXPECT_GE(secondsUntil([&] { return m_Usbmuxd->connectAttempts(9) == 3; }), 4);
    EXPECT_NE(m_Usbmuxd->waitForTablet(2s), nullptr);
}

// "/server/ping" -2 closes only the stream: the session opens it again.
TEST_F(UsbTest, PingMinusTwoClosesTheStreamAndTheSessionReopensIt) {
    auto ipad = plugIn(4);
    ipad->sendMessage({"/server/ping", {-2}});
    EXPECT_TRUE(ipad->waitFor("/server/pong").has_value());
    EXPECT_TRUE(ipad->closedByServer());
    // the pause before the device is asked again
    EXPECT_GE(secondsUntil([&] { return m_Usbmuxd->connectAttempts(4) == 2; }), 1);
    auto again = m_Usbmuxd->waitForTablet(3s);
    ASSERT_NE(again, nullptr);
    again->sendMessage({"/server/ping", {1}});
    EXPECT_TRUE(again->waitFor("/server/pong").has_value());
    EXPECT_EQ(usbSessions(), 1u);
}

// A tablet on the cable that stops reading holds up nobody: a Wi-Fi tablet
// still gets every message of the script's stream whole and in order, and the
// stalled one is dropped. (How long the healthy tablet waits is the relay
// benchmark's to measure.)
TEST_F(UsbTest, StalledUsbTabletDelaysNoOne) {
    openRelay();
    auto stalled = plugIn(5);  // never reads again
    auto healthy = tablet(true);
    std::int32_t expected = 0;
    bool inOrder = true;
    std::thread reader([&] {
        while (expected < 200) {
            const auto frame = healthy->readFrame(3000ms * kSlowdown);
            if (!frame) return;
            const auto message = osctest::decode(frame->payload)->messages.front();
            if (message.address != "/stream") continue;
            inOrder = inOrder && std::get<std::int32_t>(message.arguments[0]) == expected++;
        }
    });
    for (std::int32_t sequence = 0; sequence < 200; ++sequence) {
        m_Script->sendMessage({"/stream", {sequence, osctest::Blob{std::vector<char>(64 * 1024)}}});
        std::this_thread::sleep_for(5ms);
    }
    reader.join();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(expected, 200);
    // The stalled tablet goes once its stream has taken nothing for 3 s of the server's clock.
    EXPECT_GT(secondsUntil([] { return log().find("lost while sending") != std::string::npos; }), 0);
}

// The server stops while five tablets of one kind and the script stream both
// ways, and starts again.
class StopWhileTrafficTest : public UsbTest, public testing::WithParamInterface<bool> {};

TEST_P(StopWhileTrafficTest, StopsCleanlyAndStartsAgain) {
    const bool usb = GetParam();
    openRelay();
    std::vector<std::unique_ptr<SimulatedTablet>> tablets;
    for (std::uint32_t t = 0; t < 5; ++t) tablets.push_back(usb ? plugIn(20 + t) : tablet(true));
    std::atomic<bool> streaming{true};
    std::vector<std::thread> senders;
    for (auto& ipad : tablets) {
        senders.emplace_back([&streaming, ipad = ipad.get()] {
            const std::string frame = osctest::encode({"/broadcast/level", {0.5f}});
            while (streaming) ipad->sendFrame(frame);
        });
    }
    senders.emplace_back([&] {
        const std::string frame = osctest::encode({"/meter", {osctest::Blob{std::vector<char>(4096, 'm')}}});
        while (streaming) m_Script->sendFrame(frame);
    });
    // Traffic flows both ways before the stop comes.
    ASSERT_TRUE(waitUntil([&] { return m_Script->payloadsExceptPings().size() >= 100; }, 5s * kSlowdown));
    stopThreads();
    EXPECT_EQ(_ipadSrvThread, nullptr);
    EXPECT_EQ(_usbSrvThread, nullptr);
    streaming = false;
    for (auto& sender : senders) sender.join();
    tablets.clear();
    startThreads(true, LinuxPlatform::instance().platform());
    EXPECT_TRUE(m_Script->waitForConnection());
}

INSTANTIATE_TEST_SUITE_P(WifiAndUsb, StopWhileTrafficTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& kind) { return kind.param ? "Usb" : "Wifi"; });

std::size_t openDescriptors() {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                                  std::filesystem::directory_iterator()));
}

// A daemon that answers the subscription, then breaks off mid-message and
// closes, again and again: each connection is closed before the next (asked
// for ever less often), tablets are served once it behaves, a stop is prompt.
TEST_F(UsbTest, ADaemonThatSpoilsEverySubscriptionCostsNothingAndHoldsNothingUp) {
    m_Usbmuxd->spoilSubscriptions(true);
    auto spoiled = [&](int count) {
        const int until = m_Usbmuxd->listenRequests() + count;
        return secondsUntilAfterSteps(32, [&] { return m_Usbmuxd->listenRequests() >= until; }) > 0;
    };
    ASSERT_TRUE(spoiled(3));
    const std::size_t descriptors = openDescriptors();
    ASSERT_TRUE(spoiled(20));
    EXPECT_LE(openDescriptors(), descriptors);
    EXPECT_NE(log().find("ended the subscription at once; asking again in 32 s"), std::string::npos);

    m_Usbmuxd->spoilSubscriptions(false);
    ASSERT_TRUE(spoiled(1));
    auto ipad = plugIn(9);
    ASSERT_NE(ipad, nullptr);
    const auto asked = std::chrono::steady_clock::now();
    stopThreads();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s * kSlowdown);
    startThreads(true, LinuxPlatform::instance().platform());
}

// A tablet that was away (its app closed) for longer than the time-out is
// served again when it returns: the drop meant for its old stream does not
// close the new one. Sessions per device are capped.
TEST_F(UsbTest, ATabletBackFromALongAbsenceKeepsItsStreamAndSessionsAreCapped) {
    auto ipad = plugIn(3);
    m_Usbmuxd->refuseConnections(true);
    ipad.reset();  // the app closes: the stream ends, the session asks again and again
    ASSERT_GT(secondsUntil([&] { return m_Usbmuxd->connectAttempts(3) == 2; }), 0);
    Clock::advanceForTesting(1000);
    ASSERT_TRUE(livenessSteps(3));
    const int refused = m_Usbmuxd->connectAttempts(3);
    m_Usbmuxd->refuseConnections(false);
    ASSERT_GT(secondsUntil([&] { return m_Usbmuxd->connectAttempts(3) > refused; }), 0);
    auto back = m_Usbmuxd->waitForTablet(3s);
    ASSERT_NE(back, nullptr);
    back->sendMessage({"/server/ping", {1}});
    EXPECT_TRUE(back->waitFor("/server/pong").has_value());
    EXPECT_EQ(log().find("timed out"), std::string::npos);

    std::vector<std::unique_ptr<SimulatedTablet>> tablets;
    for (int i = 0; i < 4; ++i) tablets.push_back(plugIn(2, false));
    m_Usbmuxd->attach(2, "serial-2");
    EXPECT_TRUE(waitUntil([] { return log().find("Refused a session for USB device serial-2") != std::string::npos; }, 3s));
    EXPECT_EQ(usbSessions(), 5u);
}

// usbmuxd starts after the server, and restarts while a device is attached.
class LateUsbmuxdTest : public UsbTest {
protected:
    void SetUp() override {
        m_Port = sockets::localPort(sockets::listenLoopback(0).get());  // a free port, nothing on it yet
        setenv("USBMUXD_SOCKET_ADDRESS", ("127.0.0.1:" + std::to_string(m_Port)).c_str(), 1);
        RelayTest::SetUp();
    }
    std::uint16_t m_Port = 0;
};

TEST_F(LateUsbmuxdTest, DevicesAreServedOnceTheDaemonRunsAndAgainAfterItRestarts) {
    EXPECT_TRUE(waitUntil([] { return log().find("usbmuxd is not running") != std::string::npos; }, 3s));
    m_Usbmuxd = std::make_unique<SimulatedUsbmuxd>(m_Port);
    auto ipad = plugIn(3);
    ASSERT_NE(ipad, nullptr);
    m_Usbmuxd.reset();  // the daemon goes: every device counts as removed
    EXPECT_TRUE(ipad->closedByServer());
    EXPECT_TRUE(waitUntil([] { return usbSessions() == 0; }, 3s));
    m_Usbmuxd = std::make_unique<SimulatedUsbmuxd>(m_Port);
    auto again = plugIn(3);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(usbSessions(), 1u);
}

}  // namespace

// Wi-Fi sessions over real loopback sockets: framing, the listener's lists
// and fan-outs, liveness, stalled tablets and shutdown.
#include "Clock.h"
#include "TestSockets.h"
#include "IpadClientThread.h"
#include "IpadServerThread.h"
#include "SessionHub.h"
#include "LogBudget.h"
#include "Logger.h"

#include "FakeRoles.h"

#include "ChildProcess.h"
#include "SimulatedTablet.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

class WifiSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        CLogger::init(m_Dir.file("server.log").c_str(), 2048);
        LogBudget::resetForTesting();
        CLogger::setLogLevel(CLogger::kDebug);
        m_Listener = std::make_unique<IpadServerThread>(m_Links.peers(), m_Hub);
        ASSERT_NE(m_Listener->getPort(), 0u);
        m_Listener->Start();
        ASSERT_TRUE(logged(" INFO Started listening on port "));
    }

    void TearDown() override {
        stopListener();
        CLogger::finish();
        Clock::resetForTesting();
    }

    void stopListener() {
        if (!m_Listener) return;
        m_Listener->Stop();
        m_Listener->Join();
        m_Listener.reset();
    }

    std::unique_ptr<SimulatedTablet> tablet(int receiveBuffer = 0) {
        auto connected = std::make_unique<SimulatedTablet>(port(), receiveBuffer);
        EXPECT_TRUE(waitUntil([&] { return hasSession(*connected); }, 5s));
        return connected;
    }

    std::uint16_t port() const { return static_cast<std::uint16_t>(m_Listener->getPort()); }
    std::string log() const { return readFile(m_Dir.file("server.log")); }

    std::size_t logCount(const std::string& text) const {
        const std::string all = log();
        std::size_t count = 0;
        for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++count;
        return count;
    }

    bool logged(const std::string& text, std::chrono::milliseconds timeout = 3s) const {
        return waitUntil([&] { return log().find(text) != std::string::npos; }, timeout);
    }

    bool clientCountBecomes(std::size_t count) {
        return waitUntil([&] { return m_Listener->getClientCount() == count; }, 5s);
    }

    bool hasSession(const SimulatedTablet& tablet) {
        bool found = false;
        m_Hub.forEach(Transport::Wifi, [&](BaseClientThread& session) {
            found = found || ntohs(session.peer().sin_port) == tablet.localPort();
        });
        return found;
    }

    // Confirms the session of `tablet`, as the app does.
    static void confirm(SimulatedTablet& tablet) {
        tablet.sendMessage({"/server/ping", {1}});
        EXPECT_TRUE(tablet.waitFor("/server/pong").has_value());
    }

    TempDir m_Dir;
    FakeRoles m_Links;
    SessionHub m_Hub;
    std::unique_ptr<IpadServerThread> m_Listener;
};

std::string word(std::uint32_t value) {
    const std::uint32_t big = htonl(value);
    return std::string(reinterpret_cast<const char*>(&big), 4);
}

TEST_F(WifiSessionTest, SessionsReadFramesFromAnyChunkingAndAnswerOnTheirStream) {
    auto ipad = tablet();
    EXPECT_TRUE(logged(" INFO Connection from 127.0.0.1:" + std::to_string(ipad->localPort()) + "\n"));
    EXPECT_TRUE(logged(" DEBUG BaseClientThread created\n"));
    ipad->sendFrame("not an OSC packet, type 1", 1);
    ipad->sendFrame(osctest::encode({"/server/ping", {1}}), 2, /*byteByByte=*/true);
    EXPECT_EQ(ipad->waitFor("/server/pong")->address, "/server/pong");
    EXPECT_EQ(m_Listener->getConnectedClientCount(), 1u);
}

TEST_F(WifiSessionTest, PayloadLengthsOutsideTheLimitEndTheSession) {
    for (std::uint32_t length : {0u, 131085u}) {
        auto ipad = tablet();
        ipad->sendHeader(length);
        EXPECT_TRUE(ipad->closedByServer()) << length;
        EXPECT_TRUE(clientCountBecomes(0)) << length;
    }
}

// Who of them gets which fan-out is the hub's unit test; here the bytes on the wire.
TEST_F(WifiSessionTest, FanOutsAndCountsReachTheirSessions) {
    auto sender = tablet();
    auto other = tablet();
    auto unconfirmed = tablet();
    confirm(*sender);
    confirm(*other);
    EXPECT_EQ(m_Listener->getClientCount(), 3u);
    EXPECT_EQ(m_Listener->getConnectedClientCount(), 2u);

    m_Hub.bundleStart();
    const std::string marker = word(16) + word(2) + word(0) + "#bundle\0"s + "\0\0\0\0\0\0\0\1"s;
    for (auto* ipad : {sender.get(), other.get(), unconfirmed.get()}) EXPECT_EQ(ipad->readRaw(28), marker);

    unconfirmed->close();
    EXPECT_TRUE(clientCountBecomes(2));
}

TEST_F(WifiSessionTest, ListenerStopsWithLiveSessionsAndClosesThem) {
    auto first = tablet();
    auto second = tablet();
    confirm(*first);
    stopListener();
    EXPECT_TRUE(first->closedByServer());
    EXPECT_TRUE(second->closedByServer());
    EXPECT_TRUE(logged(" DEBUG ~BaseClientThread\n"));
}

TEST_F(WifiSessionTest, ManyTabletsComeAndGoWhileFanOutsAndMonitorRun) {
    std::atomic<bool> done{false};
    std::thread fanOut([&] {
        const std::string bytes = osctest::encode({"/track/volume", {0.5f}});
        const auto frame = OutboundQueue::frame(bytes.data(), bytes.size());
        while (!done) {
            m_Hub.toEvery(frame);
            m_Hub.toConnected(frame, nullptr);
            m_Hub.toEveryBulk(frame);
            m_Hub.bundleStart();
            m_Hub.Monitor();
            m_Hub.backlogged(nullptr);
            m_Listener->getConnectedClientCount();
        }
    });
    std::vector<std::thread> tablets;
    for (int t = 0; t < 4; ++t) {
        tablets.emplace_back([&] {
            for (int round = 0; round < 15; ++round) {
                SimulatedTablet ipad(port());
                if (round % 2 == 0) ipad.sendMessage({"/server/ping", {1}});
                ipad.readFrame(20ms);
                if (round % 3 == 0) ipad.sendHeader(0);  // the server ends this one
            }
        });
    }
    for (auto& ipad : tablets) ipad.join();
    SimulatedTablet lingering(port());  // still connected when the listener goes
    done = true;
    fanOut.join();
    stopListener();
    EXPECT_TRUE(lingering.closedByServer());
}

}  // namespace

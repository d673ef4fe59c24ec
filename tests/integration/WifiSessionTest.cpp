// Wi-Fi sessions over real loopback sockets: framing, the listener's lists
// and fan-outs, liveness, stalled tablets and shutdown.
#include "Clock.h"
#include "IpadClientThread.h"
#include "IpadServerThread.h"
#include "Logger.h"
#include "RegistryLinks.h"

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
        CLogger::setLogLevel(CLogger::kDebug);
        m_Listener = std::make_unique<IpadServerThread>(RegistryLinks::instance());
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
        m_Listener->forEachClient([&](IpadClientThread& session) {
            found = found || ntohs(session.peer().sin_port) == tablet.localPort();
        });
        return found;
    }

    // Marks the session of `tablet` as confirmed, as "/server/ping" 1 does.
    void confirm(const SimulatedTablet& tablet) {
        m_Listener->forEachClient([&](IpadClientThread& session) {
            if (ntohs(session.peer().sin_port) == tablet.localPort()) session.setConnected(true);
        });
    }

    // A bundle whose start and end show in the log under `timeTag`.
    static std::string probe(std::uint64_t timeTag) {
        return osctest::bundle({osctest::encode({"/probe", {1}})}, timeTag);
    }
    bool probed(std::uint64_t timeTag) const {
        const std::string tag = std::to_string(timeTag) + "\n";
        return logged(" INFO Bundle started " + tag) && logged(" INFO Bundle finished " + tag);
    }

    TempDir m_Dir;
    std::unique_ptr<IpadServerThread> m_Listener;
};

std::string word(std::uint32_t value) {
    const std::uint32_t big = htonl(value);
    return std::string(reinterpret_cast<const char*>(&big), 4);
}

TEST_F(WifiSessionTest, ConnectionIsLoggedWithThePeersPort) {
    auto ipad = tablet();
    EXPECT_TRUE(logged(" INFO Connection from 127.0.0.1:" + std::to_string(ipad->localPort()) + "\n"));
    EXPECT_TRUE(logged(" INFO Started listening on port " + std::to_string(port()) + "\n"));
    EXPECT_TRUE(logged(" DEBUG BaseClientThread created\n"));
}

TEST_F(WifiSessionTest, FramesAreAssembledFromAnyChunkingAndForeignTypesSkipped) {
    auto ipad = tablet();
    ipad->sendFrame(probe(7), 2, /*byteByByte=*/true);
    EXPECT_TRUE(probed(7));

    ipad->sendFrame("not an OSC packet, type 1", 1);
    ipad->sendFrame(probe(8));
    EXPECT_TRUE(probed(8));
    EXPECT_EQ(logCount("Bundle started"), 2u);  // the type-1 frame was consumed, not dispatched
}

TEST_F(WifiSessionTest, MalformedPayloadsAreDroppedAndTheSessionStays) {
    auto ipad = tablet();
    ipad->sendFrame("this is not OSC!");
    ipad->sendFrame("/a\0\0,bb\0"s + word(0x40000000));  // crashes an unguarded oscpack
    ipad->sendFrame(osctest::bundle({"/a\0\0,b\0\0"s + word(0xffffffff)}));
    std::string deep = osctest::encode({"/deep", {}});
    for (int level = 0; level < 200; ++level) deep = osctest::bundle({deep});
    ipad->sendFrame(deep);
    ipad->sendFrame(probe(9));
    EXPECT_TRUE(probed(9));
    EXPECT_EQ(logCount("Bundle started"), 1u);
    EXPECT_EQ(m_Listener->getClientCount(), 1u);
}

TEST_F(WifiSessionTest, PayloadLengthsOutsideTheLimitEndTheSession) {
    for (std::uint32_t length : {0u, 131085u, 0xffffffffu}) {
        auto ipad = tablet();
        ipad->sendHeader(length);
        EXPECT_TRUE(ipad->closedByServer()) << length;
        EXPECT_TRUE(clientCountBecomes(0)) << length;
    }
}

TEST_F(WifiSessionTest, LargestAcceptedPayloadIsDispatched) {
    auto ipad = tablet();
    // 16 bundle header + 4 size + 12 message header + blob = 131084 bytes.
    const std::string message = "/b\0\0,b\0\0"s + word(131052) + std::string(131052, 'x');
    const std::string packet = osctest::bundle({message}, 11);
    ASSERT_EQ(packet.size(), 131084u);
    ipad->sendFrame(packet);
    EXPECT_TRUE(probed(11));
    EXPECT_EQ(m_Listener->getClientCount(), 1u);
}

TEST_F(WifiSessionTest, StartBundleWritesTheTwentyEightByteMarker) {
    auto ipad = tablet();
    m_Listener->StartBundle();
    m_Listener->EndBundle();  // writes nothing
    const std::string expected = word(16) + word(2) + word(0) + "#bundle\0"s + "\0\0\0\0\0\0\0\1"s;
    EXPECT_EQ(ipad->readRaw(28), expected);
    EXPECT_EQ(ipad->readRaw(1, 300ms), "");
}

TEST_F(WifiSessionTest, CountsFollowConfirmationsAndDisconnections) {
    auto first = tablet();
    auto second = tablet();
    auto third = tablet();
    confirm(*first);
    confirm(*third);
    EXPECT_EQ(m_Listener->getClientCount(), 3u);
    EXPECT_EQ(m_Listener->getConnectedClientCount(), 2u);

    third->close();
    EXPECT_TRUE(clientCountBecomes(2));
    EXPECT_EQ(m_Listener->getConnectedClientCount(), 1u);
}

TEST_F(WifiSessionTest, FanOutsReachTheirSessions) {
    auto sender = tablet();
    auto other = tablet();
    auto unconfirmed = tablet();
    confirm(*sender);
    confirm(*other);

    const std::string bytes = osctest::encode({"/broadcast/note", {60, "on"s}});
    const osc::ReceivedPacket packet(bytes.data(), bytes.size());
    BaseClientThread* senderSession = nullptr;
    m_Listener->forEachClient([&](IpadClientThread& session) {
        if (ntohs(session.peer().sin_port) == sender->localPort()) senderSession = &session;
    });
    m_Listener->TransmitMessage(ReceivedOscMessage(packet), senderSession);
    const auto forwarded = other->readFrame();
    ASSERT_TRUE(forwarded.has_value());
    EXPECT_EQ(forwarded->payload, bytes);
    EXPECT_EQ(forwarded->type, 2u);
    EXPECT_FALSE(sender->readFrame(300ms).has_value());
    EXPECT_FALSE(unconfirmed->readFrame(300ms).has_value());

    const std::string state = osctest::encode({"/live/state", {1.5f}});
    m_Listener->SendData(state.data(), state.size());
    for (auto* ipad : {sender.get(), other.get(), unconfirmed.get()}) {
        const auto frame = ipad->readFrame();
        ASSERT_TRUE(frame.has_value());
        EXPECT_EQ(frame->payload, state);
    }
}

TEST_F(WifiSessionTest, ConfirmedTabletIsPingedAndDroppedAfterThousandSilentSeconds) {
    auto ipad = tablet();
    auto quiet = tablet();
    m_Listener->Monitor();
    EXPECT_FALSE(ipad->readFrame(300ms).has_value()) << "unconfirmed sessions are not pinged";

    confirm(*ipad);
    Clock::advanceForTesting(999);
    m_Listener->Monitor();
    const auto ping = ipad->readMessage();
    ASSERT_TRUE(ping.has_value());
    EXPECT_EQ(*ping, (osctest::Message{"/app/ping", {12345, 1}}));
    EXPECT_EQ(m_Listener->getClientCount(), 2u);

    Clock::advanceForTesting(1);
    m_Listener->Monitor();
    EXPECT_TRUE(ipad->waitFor("/app/ping").has_value());
    EXPECT_TRUE(logged(" INFO Connection with 127.0.0.1 timed out\n"));
    EXPECT_TRUE(ipad->closedByServer());
    EXPECT_TRUE(clientCountBecomes(1));
    EXPECT_FALSE(quiet->closedByServer(100ms));
}

TEST_F(WifiSessionTest, StalledTabletIsDroppedWhileTheOthersKeepReceiving) {
    auto stalled = tablet(4096);  // never reads
    auto reader1 = tablet();
    auto reader2 = tablet();
    constexpr int kFrames = 200;
    const std::string payload = osctest::encode({"/meter", {osctest::Blob{std::vector<char>(64 * 1024, 'm')}}});

    std::atomic<int> received1{0};
    std::atomic<int> received2{0};
    auto drain = [](SimulatedTablet& ipad, std::atomic<int>& count) {
        while (count < kFrames && ipad.readFrame(10s)) ++count;
    };
    std::thread drain1(drain, std::ref(*reader1), std::ref(received1));
    std::thread drain2(drain, std::ref(*reader2), std::ref(received2));

    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < kFrames; ++i) m_Listener->SendData(payload.data(), payload.size());
    const auto took = std::chrono::steady_clock::now() - started;
    drain1.join();
    drain2.join();

    EXPECT_EQ(received1, kFrames);
    EXPECT_EQ(received2, kFrames);
    EXPECT_LT(took, std::chrono::seconds(BaseClientThread::kSendTimeoutSeconds + 5));
    EXPECT_TRUE(clientCountBecomes(2));
    EXPECT_TRUE(logged(" INFO Connection with 127.0.0.1 lost while sending; disconnecting\n"));
    EXPECT_EQ(logCount("lost while sending"), 1u);
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
        const osc::ReceivedPacket packet(bytes.data(), bytes.size());
        const ReceivedOscMessage message(packet);
        while (!done) {
            m_Listener->SendData(bytes.data(), bytes.size());
            m_Listener->TransmitMessage(message, nullptr);
            m_Listener->StartBundle();
            m_Listener->Monitor();
            m_Listener->getConnectedClientCount();
        }
    });
    std::vector<std::thread> tablets;
    for (int t = 0; t < 4; ++t) {
        tablets.emplace_back([&, t] {
            for (int round = 0; round < 15; ++round) {
                SimulatedTablet ipad(port());
                if (round % 2 == 0) confirm(ipad);
                ipad.sendFrame(probe(static_cast<std::uint64_t>(100 + t)));
                ipad.readFrame(20ms);
                if (round % 3 == 0) ipad.sendHeader(0);  // the server ends this one
            }
        });
    }
    for (auto& ipad : tablets) ipad.join();
    SimulatedTablet lingering(port());  // still connected when the listener goes
    done = true;
    fanOut.join();
    EXPECT_TRUE(clientCountBecomes(1) || m_Listener->getClientCount() <= 1);
    stopListener();
    EXPECT_TRUE(lingering.closedByServer());
}

TEST(WifiListenerTest, PortInUseIsLoggedAndNothingIsAccepted) {
    TempDir dir;
    CLogger::init(dir.file("server.log").c_str(), 2048);
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);
    ASSERT_EQ(listen(taken, 1), 0);
    {
        IpadServerThread listener(RegistryLinks::instance(), ntohs(address.sin_port));
        EXPECT_EQ(listener.getPort(), 0u);
        listener.Start();
        listener.Stop();
        listener.Join();
        EXPECT_EQ(listener.getClientCount(), 0u);
    }
    close(taken);
    CLogger::finish();
    EXPECT_NE(readFile(dir.file("server.log")).find(" ERROR Failed to bind random port: 4294967295!\n"),
              std::string::npos);
}

}  // namespace

// What the relay does with each peer's messages, end to end.
#include "RelayFixture.h"
#include "TestSockets.h"

#include "AbletonServerThread.h"
#include "AudioFiles.h"
#include "FakeRoles.h"
#include "IpadServerThread.h"
#include "Console.h"
#include "UsbServerThread.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

using namespace std::chrono_literals;
using namespace std::string_literals;
using osctest::Message;

namespace {

// The monitor's steps ping the script and the confirmed tablets; by the
// time a confirmed tablet has had two, an unconfirmed one would have too.
TEST_F(RelayTest, PingsGoToTheScriptAndConfirmedTablets) {
    auto confirmed = tablet(true);
    auto unconfirmed = tablet(false);
    m_Script->clear();
    ASSERT_TRUE(waitUntil([&] { return !m_Script->payloads().empty(); }, 3s));
    EXPECT_EQ(osctest::decode(m_Script->payloads().front())->messages.front(),
              (Message{"/script/ping", {"corviLane server!"s, 7}}));
    const auto ping = confirmed->waitFor("/app/ping");
    ASSERT_TRUE(ping.has_value());
    EXPECT_EQ(*ping, (Message{"/app/ping", {12345, 1}}));
    EXPECT_TRUE(confirmed->waitFor("/app/ping").has_value());
    EXPECT_FALSE(unconfirmed->waitFor("/app/ping", 50ms).has_value());
}

TEST_F(RelayTest, NothingButPingsReachesTheScriptBeforeVersionThreeHundred) {
    auto ipad = tablet(true);
    m_Script->answerPings({299, 9008});
    ASSERT_TRUE(waitUntil([] { return scriptLink().version == 299; }, 3s));
    ipad->sendMessage({"/track/1/volume", {0.5f}});
    ipad->sendFrame(osctest::bundle({osctest::encode({"/a", {1}})}));
    ipad->sendMessage({"/server/reload", {}});
    ipad->sendMessage({"/server/getstate", {}});  // answered once the frames before it are handled
    ASSERT_TRUE(ipad->waitFor("/server/state").has_value());
    ASSERT_TRUE(livenessSteps(2));  // what those frames sent the script came before these pings
    EXPECT_TRUE(m_Script->payloadsExceptPings().empty());
}

TEST_F(RelayTest, TabletMessagesAndBundlesReachTheScriptByteForByte) {
    openRelay();
    auto ipad = tablet(false);  // confirmation is not needed to be heard
    const std::string message = osctest::encode({"/track/1/volume", {0.75f, "fader"s}});
    ipad->sendFrame(message);
    ASSERT_TRUE(m_Script->waitFor([&](const std::string& p) { return p == message; }).has_value());

    m_Script->clear();
    const std::string first = osctest::encode({"/clip/fire", {1, 2}});
    const std::string second = osctest::encode({"/clip/stop", {3}});
    ipad->sendFrame(osctest::bundle({first, second}, 77));
    ASSERT_TRUE(m_Script->waitFor([&](const std::string& p) { return p == second; }).has_value());
    const std::string marker = "#bundle\0\0\0\0\0\0\0\0\1"s;
    EXPECT_EQ(m_Script->payloadsExceptPings(), (std::vector<std::string>{marker, first, second}));
    EXPECT_TRUE(waitUntil([] { return log().find(" INFO Bundle finished 77\n") != std::string::npos; }, 3s));
    EXPECT_NE(log().find(" INFO Bundle started 77\n"), std::string::npos);
}

TEST_F(RelayTest, ScriptMessagesReachConfirmedTabletsByteForByteAndBundlesAreTakenApart) {
    openRelay();
    auto confirmed = tablet(true);
    auto unconfirmed = tablet(false);
    const std::string first = osctest::encode({"/track/name", {0, "Drums"s}});
    const std::string second = osctest::encode({"/track/name", {1, "Bass"s}});
    m_Script->sendFrame(first);
    m_Script->sendFrame(osctest::bundle({second, osctest::bundle({first})}, 3));
    std::vector<std::string> received;
    while (received.size() < 3) {
        const auto frame = confirmed->readFrame();
        ASSERT_TRUE(frame.has_value());
        if (osctest::decode(frame->payload)->messages.front().address != "/app/ping") received.push_back(frame->payload);
    }
    EXPECT_EQ(received, (std::vector<std::string>{first, second, first}));
    EXPECT_TRUE(drain(*unconfirmed).empty());
}

TEST_F(RelayTest, ServerPongAndStateCarryTheScriptsStatus) {
    auto other = tablet(false);
    auto ipad = std::make_unique<SimulatedTablet>(static_cast<std::uint16_t>(_ipadSrvThread->getPort()));
    ipad->sendMessage({"/server/ping", {}});  // no argument: a pong, no change
    EXPECT_EQ(*ipad->waitFor("/server/pong"), (Message{"/server/pong", {0, 428, 0, 0, 0, 0, 0}}));
    EXPECT_EQ(_ipadSrvThread->getConnectedClientCount(), 0u);

    openRelay({301, 9008, 4, 5, 6});
    ipad->sendMessage({"/server/ping", {1}});
    EXPECT_EQ(*ipad->waitFor("/server/pong"), (Message{"/server/pong", {301, 428, 1, 4, 5, 6, 0}}));
    ipad->sendMessage({"/server/getstate", {}});
    EXPECT_EQ(*ipad->waitFor("/server/state"), (Message{"/server/state", {true, 2, 0}}));
    ipad->sendMessage({"/device_name", {"Stage iPad"s}});
    EXPECT_EQ(*ipad->waitFor("/host_name"), (Message{"/host_name", {LinuxPlatform::instance().platform().computerName, ""s}}));
}

TEST_F(RelayTest, TabletsLeaveOnDisconnectOrPingMinusTwoAndShutdownStopsTheService) {
    auto leaving = tablet(true);
    leaving->sendMessage({"/disconnect", {}});
    EXPECT_TRUE(leaving->closedByServer());
    auto dropping = tablet(true);
    dropping->sendMessage({"/server/ping", {-2}});
    EXPECT_TRUE(dropping->waitFor("/server/pong").has_value());
    EXPECT_TRUE(dropping->closedByServer());

    daemonRunning = true;
    auto ipad = tablet(false);
    ipad->sendMessage({"/server/shutdown", {}});
    EXPECT_TRUE(waitUntil([] { return !daemonRunning; }, 3s));
}

TEST_F(RelayTest, ScriptFramesOutsideTheLimitsEndTheConnectionWhichComesBack) {
    openRelay();
    m_Script->sendFrame("ignored", 1);  // another type: consumed and dropped
    Console::Capture capture;
    m_Script->sendFrame(std::string(131085, 'x'));
    EXPECT_TRUE(waitUntil([] { return !_abletonClientThread->isConnected(); }, 3s));
    ASSERT_TRUE(m_Script->waitForConnection());
    EXPECT_TRUE(waitUntil([] { return _abletonClientThread->isConnected(); }, 3s));
    const std::string console = capture.text();
    EXPECT_NE(console.find("Invalid packet length 131085\n"), std::string::npos) << console;
    EXPECT_NE(console.find("Successfully connected to script TCP port on port 9008\n"), std::string::npos);
}

TEST_F(RelayTest, UdpDatagramsReportThePortTraceTheConsoleAndBracketBundles) {
    auto confirmed = tablet(true);
    auto unconfirmed = tablet(false);
    SimulatedLiveScript::sendDatagram(9111, osctest::encode({"/script/pong", {1, 9012}}));
    EXPECT_TRUE(waitUntil([] { return scriptLink().port == 9012; }, 3s));

    SimulatedLiveScript::sendDatagram(9111, osctest::encode({"/NSLOG_REPLACE", {"hello"s, 2}}));
    EXPECT_EQ(drain(*confirmed), (std::vector<Message>{{"/NSLOG_REPLACE", {"hello"s, 2}}}));
    EXPECT_TRUE(drain(*unconfirmed).empty());

    const std::string bundle = osctest::bundle(
        {osctest::encode({"/x", {1}}), osctest::encode({"/y", {2}}), osctest::encode({"/z", {3}})}, 5);
    SimulatedLiveScript::sendDatagram(9111, bundle);
    const std::string marker = "\0\0\0\x10\0\0\0\x02\0\0\0\0#bundle\0\0\0\0\0\0\0\0\1"s;
    EXPECT_EQ(unconfirmed->readRaw(28), marker);
    EXPECT_TRUE(drain(*unconfirmed).empty());
    EXPECT_NE(log().find(" INFO (Live)Bundle started 5\n"), std::string::npos);
    EXPECT_TRUE(waitUntil([] { return log().find(" INFO (Live)Bundle finished 5\n") != std::string::npos; }, 2s));

    SimulatedLiveScript::sendDatagram(9111, "/a\0\0,bb\0\x40\0\0\0"s);
    SimulatedLiveScript::sendDatagram(9111, osctest::encode({"/script/pong", {1, "x"s}}));
    EXPECT_TRUE(waitUntil([] { return log().find(" ERROR Error parsing message: malformed packet\n") != std::string::npos; }, 2s));
    EXPECT_TRUE(waitUntil([] { return log().find(" ERROR Error parsing message: wrong argument type\n") != std::string::npos; }, 2s));
}

// A long file and twenty clips asked for in one bundle, an ordinary message
// behind them: the message reaches the tablet while the long file is still
// being analysed, the replies come whole and in request order, and a stop
// during an analysis ends at once.
TEST_F(RelayTest, WaveformRequestsAreAnsweredBesideTheRelayInRequestOrder) {
    const std::string longFile = m_Dir.file("long.flac");
    ASSERT_TRUE(ffmpeg("-f lavfi -i anullsrc=r=44100:cl=mono -t 1800 -c:a flac " + longFile));
    std::vector<std::string> requests{osctest::encode({"/clip/reset_waveform", {1, 0, longFile, 0.0f, 1.0f}})};
    for (int clip = 2; clip <= 21; ++clip) {
        const std::string path = writeSound(m_Dir.file("clip" + std::to_string(clip) + ".wav"), 1,
                                            std::vector<float>(44100, 0.01f * static_cast<float>(clip)));
        requests.push_back(osctest::encode({"/clip/reset_waveform", {clip, 0, path, 0.0f, 1.0f}}));
    }
    requests.push_back(osctest::encode({"/track/name", {0, "Drums"s}}));
    openRelay();
    auto ipad = tablet(true);
    m_Script->sendFrame(osctest::bundle(requests, 1));

    std::vector<Message> received;
    while (received.empty() || received.back() != Message{"/clip/updated_waveform", {21, 0, ""s}}) {
        const auto frame = ipad->readFrame(60s);
        ASSERT_TRUE(frame.has_value());
        const auto packet = osctest::decode(frame->payload);
        ASSERT_TRUE(packet.has_value() && packet->messages.size() == 1);
        if (packet->messages[0].address != "/app/ping") received.push_back(packet->messages[0]);
    }
    const auto ordinary = std::find(received.begin(), received.end(), Message{"/track/name", {0, "Drums"s}});
    const auto longSeries = std::find_if(received.begin(), received.end(),
                                         [](const Message& m) { return m.address == "/clip/update_waveform"; });
    ASSERT_NE(ordinary, received.end());
    EXPECT_LT(ordinary, longSeries);
    received.erase(ordinary);
    ASSERT_EQ(received.size(), 84u);
    // The reset brackets as the requests arrived, then each request's
    // series and closing bracket, in request order.
    for (std::size_t i = 0; i < 21; ++i) EXPECT_EQ(received[i], (Message{"/clip/reset_waveform", {int(i) + 1, 0}}));
    const char* order[] = {"/clip/update_waveform", "/clip/update_waveform_intensity", "/clip/updated_waveform"};
    for (std::size_t i = 21; i < received.size(); ++i) {
        const Message& reply = received[i];
        const std::size_t step = (i - 21) % 3;
        EXPECT_EQ(reply.address, order[step]) << i;
        EXPECT_EQ(std::get<int>(reply.arguments.at(0)), static_cast<int>((i - 21) / 3) + 1) << i;
        if (step < 2 && i > 23) {
            EXPECT_EQ(std::get<osctest::Blob>(reply.arguments.at(2)).bytes.size(), 88208u) << i;  // 1 s: 22050 points
        }
    }

    m_Script->sendMessage({"/clip/reset_waveform", {99, 0, longFile, 0.0f, 1.0f}});
    ASSERT_TRUE(ipad->waitFor("/clip/reset_waveform", 10s).has_value());
    const auto stopping = std::chrono::steady_clock::now();
    stopThreads();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 1s);
}

// The script listening on 9011: the scan tries 9008, 9009 and 9010 six times
// each, 10 ms apart, before it gets there.
class ScanTest : public RelayTest {
protected:
    std::uint16_t scriptPort() const override { return 9011; }
};

TEST_F(ScanTest, FindsTheScriptOnALaterPort) {
    EXPECT_TRUE(waitUntil([] { return _abletonClientThread->isConnected(); }, 3s));
}

// The Wi-Fi port and who may use it come from the settings: a port that was
// free is taken, one that is not gives way to one the system chooses; an
// address outside the allow list is closed at once while one inside is
// served; a shutdown says who asked for it.
class WifiSettingsTest : public RelayTest {
protected:
    std::string settings() const override {
        return "wifi.port=" + std::to_string(m_Port) + "\nwifi.allow=127.0.0.2, 300.1.1.1\n";
    }
    static std::uint16_t freePort() {
        const sockets::Descriptor probe = sockets::listenLoopback(0);
        return sockets::localPort(probe.get());
    }
    const std::uint16_t m_Port = freePort();
};

TEST_F(WifiSettingsTest, PortAllowListAndShutdownSender) {
    EXPECT_EQ(_ipadSrvThread->getPort(), m_Port);
    EXPECT_NE(log().find("Settings: wifi.allow entry \"300.1.1.1\" is neither"), std::string::npos);
    SimulatedTablet outsider(m_Port);
    EXPECT_TRUE(outsider.closedByServer());
    auto ipad = tablet(true, 0, "127.0.0.2");
    daemonRunning = true;
    ipad->sendMessage({"/server/shutdown", {}});
    EXPECT_TRUE(waitUntil([] { return !daemonRunning.load(); }, 3s));
    const std::string text = log();
    EXPECT_NE(text.find("Refused connection from 127.0.0.1:" + std::to_string(outsider.localPort()) +
                        ": that address is not in wifi.allow (127.0.0.2/32)"), std::string::npos) << text;
    EXPECT_NE(text.find("Shutdown asked for by \"/server/shutdown\" from 127.0.0.2:" + std::to_string(ipad->localPort())),
              std::string::npos) << text;

    stopThreads();
    const sockets::Descriptor taken = sockets::listenLoopback(m_Port);
    startThreads(false, LinuxPlatform::instance().platform());
    EXPECT_NE(_ipadSrvThread->getPort(), m_Port);
    EXPECT_NE(_ipadSrvThread->getPort(), 0u);
    EXPECT_NE(log().find("Wi-Fi port " + std::to_string(m_Port) + " is not free"), std::string::npos);
}

// A port that another program holds: the listener says so in the log,
// runs idle and stops like any other. (The Wi-Fi listener takes another port
// instead; the server's test of its port shows that.)
TEST(ListenerTest, PortInUseIsLoggedAndTheListenerIdles) {
    struct Case {
        int type;
        std::uint16_t port;
        std::function<std::unique_ptr<CThread>(FakeRoles&, std::uint16_t)> make;
        std::string line;
    };
    const Case cases[] = {
        {SOCK_DGRAM, AbletonServerThread::kPort,
         [](FakeRoles& roles, std::uint16_t port) {
             static ScriptState state;
             return std::make_unique<AbletonServerThread>(state, roles, port);
         },
         " ERROR Failed to bind port 9111: errror code=4294967295!\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        CLogger::init(dir.file("server.log").c_str(), 2048);
        sockets::Descriptor taken(socket(AF_INET, c.type | SOCK_CLOEXEC, 0));
        sockaddr_in address = sockets::ipv4Address(INADDR_ANY, c.port);
        ASSERT_EQ(bind(taken.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        if (c.type == SOCK_STREAM) {
            ASSERT_EQ(listen(taken.get(), 1), 0);
        }
        FakeRoles links;
        std::unique_ptr<CThread> listener = c.make(links, sockets::localPort(taken.get()));
        listener->Start();
        listener->Stop();
        listener->Join();
        listener.reset();
        CLogger::finish();
        EXPECT_NE(readFile(dir.file("server.log")).find(c.line), std::string::npos) << c.line;
    }
}

}  // namespace

// What the script connection does with each message from the Live script,
// against fake roles and without a socket.
#include "AbletonClientTCP.h"
#include "Clock.h"
#include "Console.h"
#include "Platform.h"
#include "WaveformAnalyzer.h"

#include "FakeRoles.h"
#include "OscCodec.h"

#include <gtest/gtest.h>

using namespace std::string_literals;
using osctest::Message;

namespace {

class ScriptRoutingTest : public ::testing::Test {
protected:
    ScriptRoutingTest() : m_Script(m_State, m_Links, m_Links, m_Links, nullptr) {}
    ~ScriptRoutingTest() override { Clock::resetForTesting(); }

    void receive(const std::string& packet) { m_Script.ProcessPacket(packet.data(), packet.size()); }
    void receive(const Message& message) { receive(osctest::encode(message)); }
    // What went to the sessions: "connected" or "every", then the message.
    std::vector<std::pair<std::string, Message>> delivered() {
        std::vector<std::pair<std::string, Message>> result;
        for (const auto& delivery : m_Links.deliveries()) {
            result.emplace_back(delivery.to, osctest::decode(delivery.payload)->messages.front());
        }
        return result;
    }
    // Whether a frame was written to the script since the last clear (each is cued).
    bool wroteToScript() {
        const auto calls = m_Links.calls();
        return std::find(calls.begin(), calls.end(), "cueScript 1") != calls.end();
    }

    FakeRoles m_Links;
    ScriptState m_State;
    AbletonClientTCP m_Script;
};

using Deliveries = std::vector<std::pair<std::string, Message>>;

TEST_F(ScriptRoutingTest, LoadingBracketsConsoleLinesAndEverythingElseReachTheirSessions) {
    Console::Capture console;
    const Message other{"/track/name", {0, "Drums"s}};
    receive(Message{"/bundle/start", {9}});
    receive(Message{"/bundle/end", {}});
    receive(Message{"/NSLOG_REPLACE", {7, "hello"s}});
    receive(osctest::bundle({osctest::encode(other), osctest::bundle({osctest::encode({"/x", {}})})}, 3));
    EXPECT_EQ(delivered(), (Deliveries{{"connected", {"/app/loading/start", {0, 0}}},
                                       {"every", {"/app/loading/end", {0, 0}}},
                                       {"connected", {"/NSLOG_REPLACE", {7, "hello"s}}},
                                       {"connected", other},
                                       {"connected", {"/x", {}}}}));
    EXPECT_EQ(m_Links.deliveries()[3].payload, osctest::encode(other));  // byte for byte
    EXPECT_NE(console.text().find(" SCRIPT PRINTF\n    Argument 0: INT 7\n    Argument 1: STRING hello\n"),
              std::string::npos);
}

TEST_F(ScriptRoutingTest, PongStepsRunInOrderAsFarAsTheArgumentsGo) {
    receive(Message{"/script/pong", {301, 9012, 4, 5, 6, 0, 5}});
    EXPECT_EQ(m_State.version(), 301);
    EXPECT_EQ(m_State.scriptStatus().port, 9012);
    const ScriptStatus status = m_State.scriptStatus();
    EXPECT_EQ(std::vector<int>(status.info, status.info + 3), (std::vector<int>{4, 5, 6}));
    EXPECT_EQ(delivered(), (Deliveries{{"every", {"/update_listeners", {1}}}, {"every", {"/has_received_midi_cmd", {1}}}}));

    m_Links.clear();
    receive(Message{"/script/pong", {302, 9013, 7}});  // too short for the triple
    EXPECT_EQ(m_State.scriptStatus().info[0], 4);
    receive(Message{"/script/pong", {303, "port"s}});  // reading stops at the bad argument
    EXPECT_EQ(m_State.version(), 303);
    EXPECT_EQ(m_State.scriptStatus().port, 9013);
    receive(Message{"/script/port_changed", {9016}});
    receive(Message{"/script/port_changed", {}});
    EXPECT_EQ(m_State.scriptStatus().port, 9016);
    EXPECT_TRUE(delivered().empty());
}

// Full state is asked for by the first pong after 999 silent seconds, only
// while some tablet is confirmed and the script is at least version 300.
TEST_F(ScriptRoutingTest, FullStateFollowsThePongClockAndTheGates) {
    m_Links.sessions.connected = 1;
    receive(Message{"/script/pong", {300}});
    m_Links.clear();
    Clock::advanceForTesting(998);
    receive(Message{"/script/pong", {300}});
    EXPECT_FALSE(wroteToScript());
    Clock::advanceForTesting(999);
    receive(Message{"/script/pong", {300}});
    EXPECT_TRUE(wroteToScript());

    Clock::advanceForTesting(9);
    EXPECT_TRUE(m_State.scriptStatus().available);
    Clock::advanceForTesting(1);
    EXPECT_FALSE(m_State.scriptStatus().available);

    for (const auto& [version, connected, asked] : {std::tuple{300, 1u, true}, {299, 1u, false}, {300, 0u, false}}) {
        receive(Message{"/script/pong", {version}});
        m_Links.sessions.connected = connected;
        m_Links.clear();
        receive(Message{"/server/refresh", {}});
        EXPECT_EQ(wroteToScript(), asked) << version << " " << connected;
    }
}

// The script's datagrams: a pong reports only its port (and only a change of
// it); console lines go to the confirmed tablets; nothing else does anything.
TEST_F(ScriptRoutingTest, DatagramsReportThePortAndCarryConsoleLinesOnly) {
    Console::Capture console;
    DatagramContext datagrams{m_State, m_Links};
    const auto receive = [&](const Message& message) {
        const std::string packet = osctest::encode(message);
        const ReceivedOscMessage received(osc::ReceivedPacket(packet.data(), packet.size()));
        return ScriptProtocol::datagrams().route(received.AddressPattern())(datagrams, received);
    };
    EXPECT_EQ(receive({"/script/pong", {305, 9014}}), kSentNowhere);
    EXPECT_EQ(m_State.scriptStatus().port, 9014);
    EXPECT_EQ(m_State.version(), 0);
    EXPECT_FALSE(m_State.scriptStatus().available);
    m_State.setPort(9010);
    receive({"/script/pong", {305, 9014}});  // the same report again changes nothing
    receive({"/script/pong", {305}});
    EXPECT_EQ(m_State.scriptStatus().port, 9010);
    EXPECT_EQ(receive({"/NSLOG_REPLACE", {"hi"s}}), kSentToTablets);
    EXPECT_EQ(receive({"/track/name", {1}}), kSentNowhere);
    EXPECT_EQ(delivered(), (Deliveries{{"connected", {"/NSLOG_REPLACE", {"hi"s}}}}));
    EXPECT_NE(console.text().find(" NSLOG SCRIPT\n    Argument 0: STRING hi\n"), std::string::npos);
}

}  // namespace

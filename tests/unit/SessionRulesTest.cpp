// What a session does with each message from its tablet, and its liveness
// step, against fake roles and without a socket.
#include "AdmissionPolicy.h"
#include "AllowList.h"
#include "BaseClientThread.h"
#include "SocketUtil.h"
#include "Clock.h"
#include "Console.h"
#include "LogBudget.h"
#include "Logger.h"
#include "SessionHub.h"

#include "FakeRoles.h"
#include "TestSession.h"
#include "OscCodec.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>

using namespace std::string_literals;
using osctest::Message;

namespace {

class SessionRulesTest : public ::testing::Test {
protected:
    void SetUp() override {
        CLogger::init(m_Dir.file("server.log").c_str(), 2048);
        LogBudget::resetForTesting();
        CLogger::setLogLevel(CLogger::kDebug);
    }
    void TearDown() override {
        CLogger::finish();
        Clock::resetForTesting();
    }
    std::string log() const { return readFile(m_Dir.file("server.log")); }

    TempDir m_Dir;
    FakeRoles m_Links;
};

// The session as the tablets' vocabulary sees it, recording what is done to it.
class FakeSession : public TabletSession {
public:
    std::vector<std::string> calls;
    std::vector<Message> replies;

    void reply(const char* payload, std::size_t length) override {
        replies.push_back(osctest::decode(std::string(payload, length))->messages.front());
    }
    void setConfirmed(bool confirmed) override { calls.push_back(confirmed ? "confirm" : "unconfirm"); }
    void dropStream() override { calls.push_back("dropStream"); }
    void end() override { calls.push_back("end"); }
    void answered() override { calls.push_back("answered"); }
    void setName(const std::string& name) override { calls.push_back("setName " + (m_Name = name)); }
    std::string name() const override { return m_Name; }
    std::string peerName() const override { return "10.0.0.2:5000"; }

private:
    std::string m_Name;
};

struct Rule {
    Message message;
    std::vector<std::string> roleCalls;     // what reached the rest of the server, in order
    std::vector<std::string> sessionCalls;  // what was done to the session
    std::vector<Message> replies;           // what the session queued for its tablet
    unsigned sent;                          // whom the message went on to; kDropped: the packet was dropped
};

constexpr unsigned kDropped = 99;
const Message kPong{"/server/pong", {300, 428, 0, 4, 5, 6, 1}};  // Live runs, its script has not answered lately

const Rule kRules[] = {
    {{"/server/ping", {}}, {}, {}, {kPong}, kSentNowhere},
    {{"/server/ping", {7}}, {}, {}, {kPong}, kSentNowhere},
    {{"/server/ping", {1}}, {}, {"confirm"}, {kPong}, kSentNowhere},
    {{"/server/ping", {-1}}, {}, {"unconfirm"}, {kPong}, kSentNowhere},
    {{"/server/ping", {-2}}, {}, {"dropStream"}, {kPong}, kSentNowhere},
    {{"/server/ping", {1.5f}}, {}, {}, {}, kDropped},  // an argument of the wrong type drops the packet
    {{"/app/pong", {1}}, {"scriptStartLoad"}, {"answered"}, {}, kSentNowhere},
    {{"/app/pong", {2}}, {}, {"answered"}, {}, kSentNowhere},
    {{"/app/pong", {}}, {}, {"answered"}, {}, kSentNowhere},
    {{"/midi", {144, 60, 100}}, {"sendMidi 144 60 100"}, {}, {}, kSentNowhere},
    {{"/midi", {176, 7}}, {"sendMidi 176 7"}, {}, {}, kSentNowhere},
    {{"/midi", {400, 1}}, {"sendMidi 144 1"}, {}, {}, kSentNowhere},
    {{"/midi", {5}}, {"sendMidi 0 0"}, {}, {}, kSentNowhere},
    {{"/server/getstate", {}}, {}, {}, {{"/server/state", {false, 2, 1}}}, kSentNowhere},
    {{"/server/reload", {}}, {"scriptStartLoad"}, {}, {}, kSentNowhere},
    {{"/server/shutdown", {}}, {"requestShutdown"}, {}, {}, kSentNowhere},
    {{"/disconnect", {}}, {}, {"end"}, {}, kSentNowhere},
    {{"/broadcast/scene", {4}}, {"toScript 28 bytes"}, {}, {}, kSentToScript | kSentToTablets},
    {{"/broadcastnow", {1}}, {"toScript 24 bytes"}, {}, {}, kSentToScript | kSentToTablets},  // the prefix is all that counts
    {{"/device_name", {"Stage"s}}, {}, {"setName Stage"}, {{"/host_name", {"Studio"s, ""s}}}, kSentNowhere},
    {{"/device_name", {}}, {}, {}, {}, kDropped},
    {{"/server/pingx", {1}}, {"toScript 24 bytes"}, {}, {}, kSentToScript},  // only the whole address counts
    {{"/track/1/volume", {0.5f}}, {"toScript 24 bytes"}, {}, {}, kSentToScript},
};

// The vocabulary from its table alone: no session thread, no socket.
TEST_F(SessionRulesTest, EachMessageIsAnsweredOrPassedOnAsItsRuleSays) {
    Console::Capture console;
    m_Links.status = {300, false, {4, 5, 6}};
    m_Links.live = true;
    m_Links.sessions = {2, 1, 1};
    m_Links.host = "Studio";
    for (const Rule& rule : kRules) {
        m_Links.clear();
        FakeSession session;
        TabletContext context{session, m_Links.peers()};
        const std::string packet = osctest::encode(rule.message);
        unsigned sent = kDropped;
        try {
            const ReceivedOscMessage message(osc::ReceivedPacket(packet.data(), packet.size()));
            sent = TabletProtocol::routes().route(message.AddressPattern())(context, message);
        } catch (const osc::Exception&) {
        }
        EXPECT_EQ(session.replies, rule.replies) << rule.message.address;
        EXPECT_EQ(m_Links.calls(), rule.roleCalls) << rule.message.address;
        EXPECT_EQ(session.calls, rule.sessionCalls) << rule.message.address;
        EXPECT_EQ(sent, rule.sent) << rule.message.address;
        const bool broadcast = rule.sent == (kSentToScript | kSentToTablets);
        ASSERT_EQ(m_Links.deliveries().size(), broadcast ? 1u : 0u) << rule.message.address;
        if (broadcast) {
            EXPECT_EQ(m_Links.deliveries()[0], (FakeRoles::Delivery{"connected", packet, &session}));
        }
    }
}

TEST_F(SessionRulesTest, BundlesAreBracketedForTheScript) {
    TestSession session(m_Links);
    session.receive(osctest::bundle({osctest::encode({"/a", {1}}), osctest::encode({"/b", {}})}, 77));
    EXPECT_EQ(m_Links.calls(), (std::vector<std::string>{"scriptBundleStart", "toScript 12 bytes", "toScript 8 bytes"}));
    EXPECT_NE(log().find(" INFO Bundle started 77\n"), std::string::npos);
    EXPECT_NE(log().find(" INFO Bundle finished 77\n"), std::string::npos);
}

TEST_F(SessionRulesTest, ConfirmingPrintsTheDeviceNameAndStartsThePings) {
    Console::Capture console;
    TestSession session(m_Links);
    session.Monitor();
    EXPECT_TRUE(session.replies().empty());  // unconfirmed sessions are not pinged
    session.receive(osctest::encode({"/device_name", {"Pad"s}}));
    session.confirm();
    EXPECT_EQ(console.text(), "server/ping with 1 - b_Connected = TRUE, device_name: Pad \n");
    session.Monitor();
    EXPECT_EQ(session.replies().back(), (Message{"/app/ping", {12345, 1}}));
}

// A tablet's line in the status: its name, and the round trip of its pongs,
// smoothed; a run of late pongs marks a slow link, a pong no ping asked for
// changes nothing.
TEST_F(SessionRulesTest, AConfirmedTabletShowsItsNameAndHowFastItAnswers) {
    const Console::Capture console;
    TestSession session(m_Links);
    session.receive(osctest::encode({"/device_name", {"Stage Pad"s}}));
    session.confirm();
    EXPECT_EQ(session.status(), (TabletStatus{"Stage Pad", false, "0.0.0.0", -1, false}));
    session.Monitor();
    session.receive(osctest::encode({"/app/pong", {}}));
    EXPECT_GE(session.status().roundTripMs, 0);
    EXPECT_FALSE(session.status().slowLink);
    for (int late = 0; late < 4; ++late) {
        session.Monitor();
        Clock::advanceForTesting(1);
        session.receive(osctest::encode({"/app/pong", {}}));
    }
    const int roundTrip = session.status().roundTripMs;
    EXPECT_GT(roundTrip, 500);
    EXPECT_TRUE(session.status().slowLink);
    session.receive(osctest::encode({"/app/pong", {1}}));
    EXPECT_EQ(session.status().roundTripMs, roundTrip);
}

// Confirmed: 999 silent seconds keep the session, 1000 drop it after a last
// ping. Unconfirmed: 1000 seconds without a byte drop it the same way.
TEST_F(SessionRulesTest, SilentTabletsAreDroppedAfterAThousandSeconds) {
    for (const bool confirmed : {true, false}) {
        TestSession session(m_Links);
        if (confirmed) session.confirm();
        Clock::advanceForTesting(999);
        session.Monitor();
        EXPECT_TRUE(session.isRunning()) << confirmed;
        Clock::advanceForTesting(1);
        const std::size_t before = session.replies().size();
        session.Monitor();
        EXPECT_FALSE(session.isRunning()) << confirmed;
        EXPECT_FALSE(session.isConnected()) << confirmed;
        EXPECT_EQ(session.replies().size(), before + (confirmed ? 1 : 0)) << confirmed;
        Clock::resetForTesting();
    }
    EXPECT_NE(log().find(" INFO Connection with 0.0.0.0 timed out\n"), std::string::npos);
}

// Who may open a Wi-Fi session: the default list takes the local network's
// ranges and nothing else; "any" takes everyone; a prefix takes its network;
// what is neither an address nor a prefix is left out and named.
TEST(AllowListTest, TakesTheLocalRangesAnyOrWhatTheSettingsName) {
    struct Case {
        std::string setting;
        std::vector<std::string> allowed;
        std::vector<std::string> refused;
        std::vector<std::string> rejected;
    };
    const Case cases[] = {
        {AllowList::kDefault,
         {"127.0.0.1", "10.1.2.3", "172.16.0.1", "172.31.255.255", "192.168.1.20", "169.254.3.4", "100.64.0.1",
          "100.127.255.255", "198.51.100.7"},
         {"8.8.8.8", "172.32.0.1", "100.128.0.1", "192.169.0.1", "11.0.0.1", "198.51.101.7"},
         {}},
        {"any", {"8.8.8.8", "127.0.0.1"}, {}, {}},
        {" 192.168.1.0/24 , 10.0.0.7", {"192.168.1.77", "10.0.0.7"}, {"192.168.2.1", "10.0.0.8", "127.0.0.1", "198.51.100.7"}, {}},
        {"subnets", {"198.51.100.200"}, {"192.168.1.1", "127.0.0.1"}, {}},
        {"192.168.1.0/33,abc,1.2.3.4/,/8,1.2.3.4/+8,0.0.0.0/0", {"8.8.8.8"}, {},
         {"192.168.1.0/33", "abc", "1.2.3.4/", "/8", "1.2.3.4/+8"}},
    };
    // This computer's own network, which the default also takes (a LAN of
    // public addresses); asked for when a connection arrives.
    const AllowList::SubnetSource ours = [] { return std::vector<Ipv4Subnet>{{0xC6336400, 24}}; };  // 198.51.100.0/24
    for (const Case& c : cases) {
        std::vector<std::string> rejected;
        const AllowList list = AllowList::parse(c.setting, rejected, ours);
        EXPECT_EQ(rejected, c.rejected) << c.setting;
        for (const std::string& address : c.allowed) EXPECT_TRUE(list.allows(inet_addr(address.c_str()))) << address;
        for (const std::string& address : c.refused) EXPECT_FALSE(list.allows(inet_addr(address.c_str()))) << address;
    }
}

// A tablet is read on only while those its traffic goes to keep up: what it
// sends the script waits for a backlogged script, its broadcasts for a
// backlogged tablet too; its own questions and MIDI never wait. It reads on
// once they have caught up.
TEST_F(SessionRulesTest, ATabletIsReadNoFurtherWhileItsReceiversAreBacklogged) {
    const Console::Capture console;
    struct Case {
        std::string packet;
        bool scriptFull;
        bool tabletsFull;
        bool readsOn;
    };
    const std::string toScript = osctest::encode({"/track/1/volume", {0.5f}});
    const std::string broadcast = osctest::encode({"/broadcast/scene", {4}});
    const Case cases[] = {
        {toScript, true, false, false},
        {toScript, false, true, true},
        {osctest::bundle({osctest::encode({"/server/ping", {}})}, 1), true, false, false},  // the bracket goes on
        {broadcast, false, true, false},
        {broadcast, true, false, false},
        {osctest::encode({"/server/ping", {1}}), true, true, true},
        {osctest::encode({"/midi", {144, 60, 100}}), true, true, true},
        {osctest::encode({"/server/getstate", {}}), true, true, true},
    };
    for (const Case& c : cases) {
        TestSession session(m_Links);
        session.confirm();
        m_Links.scriptFull = c.scriptFull;
        m_Links.tabletsFull = c.tabletsFull;
        session.receive(c.packet);
        EXPECT_EQ(session.readsOn(), c.readsOn) << c.packet;
        m_Links.scriptFull = m_Links.tabletsFull = false;
        EXPECT_TRUE(session.readsOn()) << c.packet;
    }
}

}  // namespace

// What a session does with each message from its tablet, and its liveness
// step, against fake links and without a socket.
#include "AllowList.h"
#include "BaseClientThread.h"
#include "SocketUtil.h"
#include "Clock.h"
#include "Console.h"
#include "Logger.h"

#include "FakeLinks.h"
#include "OscCodec.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>

using namespace std::string_literals;
using osctest::Message;

namespace {

class TestSession : public BaseClientThread {
public:
    // Running, but its thread only waits to be stopped: the test is the
    // tablet, at the other end of a socket pair.
    explicit TestSession(ServerLinks& links) : BaseClientThread(links) {
        int ends[2] = {-1, -1};
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends);
        openStream(ends[0]);
        m_Tablet.reset(ends[1]);
        Start();
    }
    ~TestSession() override {
        Stop();
        Join();
    }
    bool Init() override { return true; }
    void PerformDisconnect() override { Stop(); }
    void Finalize() override {}
    void Work() override {
        while (sleepWhileRunning(std::chrono::hours(1))) {
        }
    }

    void receive(const std::string& packet) { ProcessPacket(packet.data(), packet.size(), m_Addr); }
    void confirm() { receive(osctest::encode({"/server/ping", {1}})); }
    // Everything the session sent its tablet so far, decoded.
    std::vector<Message> replies() {
        for (std::span<char> space = m_Reader.space();; space = m_Reader.space()) {
            const ssize_t got = recv(m_Tablet.get(), space.data(), space.size(), MSG_DONTWAIT);
            if (got <= 0) break;
            m_Reader.commit(static_cast<std::size_t>(got));
        }
        for (auto next = m_Reader.next(); next.event == FrameReader::Event::Frame; next = m_Reader.next()) {
            m_Replies.push_back(osctest::decode(std::string(next.payload))->messages.front());
        }
        return m_Replies;
    }

private:
    sockets::Descriptor m_Tablet;
    FrameReader m_Reader;
    std::vector<Message> m_Replies;
};

class SessionRulesTest : public ::testing::Test {
protected:
    void SetUp() override {
        CLogger::init(m_Dir.file("server.log").c_str(), 2048);
        CLogger::setLogLevel(CLogger::kDebug);
    }
    void TearDown() override {
        CLogger::finish();
        Clock::resetForTesting();
    }
    std::string log() const { return readFile(m_Dir.file("server.log")); }

    TempDir m_Dir;
    FakeLinks m_Links;
};

struct Rule {
    Message message;
    std::vector<std::string> calls;  // what reached the links, in order
    std::vector<Message> replies;    // what the session queued for its tablet
    bool connected;                  // afterwards (the session starts confirmed)
    bool running;
};

const Message kPong{"/server/pong", {300, 428, 1, 4, 5, 6, 1}};

const Rule kRules[] = {
    {{"/server/ping", {}}, {}, {kPong}, true, true},
    {{"/server/ping", {7}}, {}, {kPong}, true, true},
    {{"/server/ping", {-1}}, {}, {kPong}, false, true},
    {{"/server/ping", {-2}}, {}, {kPong}, true, false},
    {{"/server/ping", {1.5f}}, {}, {}, true, true},  // an argument of the wrong type drops the packet
    {{"/app/pong", {1}}, {"scriptStartLoad"}, {}, true, true},
    {{"/app/pong", {}}, {}, {}, true, true},
    {{"/midi", {144, 60, 100}}, {"sendMidi 144 60 100"}, {}, true, true},
    {{"/midi", {176, 7}}, {"sendMidi 176 7"}, {}, true, true},
    {{"/midi", {400, 1}}, {"sendMidi 144 1"}, {}, true, true},
    {{"/midi", {5}}, {"sendMidi 0 0"}, {}, true, true},
    {{"/server/getstate", {}}, {}, {{"/server/state", {true, 2, 1}}}, true, true},
    {{"/server/reload", {}}, {"scriptStartLoad"}, {}, true, true},
    {{"/server/shutdown", {}}, {"requestShutdown"}, {}, true, true},
    {{"/disconnect", {}}, {}, {}, true, false},
    {{"/broadcast/scene", {4}}, {"toScript 28 bytes"}, {}, true, true},
    {{"/device_name", {"Stage"s}}, {}, {{"/host_name", {"Studio"s, ""s}}}, true, true},
    {{"/device_name", {}}, {}, {}, true, true},
    {{"/track/1/volume", {0.5f}}, {"toScript 24 bytes"}, {}, true, true},
};

TEST_F(SessionRulesTest, EachMessageIsAnsweredOrPassedOnAsItsRuleSays) {
    Console::Capture console;
    for (const Rule& rule : kRules) {
        m_Links.status = {300, true, {4, 5, 6}};
        m_Links.live = true;
        m_Links.counts = {2, 1, 1};
        m_Links.host = "Studio";
        TestSession session(m_Links);
        session.confirm();
        m_Links.clear();
        const std::size_t before = session.replies().size();
        session.receive(osctest::encode(rule.message));
        const auto replies = session.replies();
        EXPECT_EQ(std::vector<Message>(replies.begin() + static_cast<std::ptrdiff_t>(before), replies.end()),
                  rule.replies)
            << rule.message.address;
        EXPECT_EQ(m_Links.calls(), rule.calls) << rule.message.address;
        EXPECT_EQ(session.isConnected(), rule.connected) << rule.message.address;
        EXPECT_EQ(session.isRunning(), rule.running) << rule.message.address;
    }
}

TEST_F(SessionRulesTest, BroadcastsGoToEveryOtherConfirmedTabletAndBundlesAreBracketed) {
    TestSession session(m_Links);
    session.receive(osctest::encode({"/broadcastnow", {1}}));  // the prefix is all that counts
    ASSERT_EQ(m_Links.deliveries().size(), 1u);
    EXPECT_EQ(m_Links.deliveries()[0].to, "connected");
    EXPECT_EQ(m_Links.deliveries()[0].except, &session);

    m_Links.clear();
    session.receive(osctest::bundle({osctest::encode({"/a", {1}}), osctest::encode({"/b", {}})}, 77));
    EXPECT_EQ(m_Links.calls(), (std::vector<std::string>{"scriptBundleStart", "toScript 12 bytes", "toScript 8 bytes",
                                                         "scriptBundleEnd"}));
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
          "100.127.255.255"},
         {"8.8.8.8", "172.32.0.1", "100.128.0.1", "192.169.0.1", "11.0.0.1"},
         {}},
        {"any", {"8.8.8.8", "127.0.0.1"}, {}, {}},
        {" 192.168.1.0/24 , 10.0.0.7", {"192.168.1.77", "10.0.0.7"}, {"192.168.2.1", "10.0.0.8", "127.0.0.1"}, {}},
        {"192.168.1.0/33,abc,1.2.3.4/,/8,1.2.3.4/+8,0.0.0.0/0", {"8.8.8.8"}, {},
         {"192.168.1.0/33", "abc", "1.2.3.4/", "/8", "1.2.3.4/+8"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> rejected;
        const AllowList list = AllowList::parse(c.setting, rejected);
        EXPECT_EQ(rejected, c.rejected) << c.setting;
        for (const std::string& address : c.allowed) EXPECT_TRUE(list.allows(inet_addr(address.c_str()))) << address;
        for (const std::string& address : c.refused) EXPECT_FALSE(list.allows(inet_addr(address.c_str()))) << address;
    }
}

}  // namespace

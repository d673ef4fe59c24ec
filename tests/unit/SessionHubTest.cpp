// The session hub and admission: who gets which frame, whose backlog holds
// back whom, and who gets a place; against fake roles and socket pairs.
#include "AdmissionPolicy.h"
#include "Clock.h"
#include "Console.h"
#include "Logger.h"
#include "SessionHub.h"

#include "TempDir.h"
#include "TestSession.h"

#include <gtest/gtest.h>

using osctest::Message;

namespace {

class SessionHubTest : public ::testing::Test {
protected:
    void SetUp() override { CLogger::init(m_Dir.file("server.log").c_str(), 2048); }
    void TearDown() override { CLogger::finish(); }

    TempDir m_Dir;
    const Console::Capture m_Console;
    FakeRoles m_Links;
};

// The hub's fan-outs: forwarded messages reach every confirmed session but
// the sender's, replies to all reach every session, bulk waits until every
// session has room, and a confirmed tablet's backlog holds back the others'
// broadcasts (an unconfirmed one's does not).
TEST_F(SessionHubTest, TheHubHandsEachFrameToWhomItIsFor) {
    SessionHub hub;
    TestSession wifi(m_Links), unconfirmed(m_Links), usb(m_Links);
    wifi.confirm();
    usb.confirm();
    hub.add(&wifi, Transport::Wifi);
    hub.add(&unconfirmed, Transport::Wifi);
    hub.add(&usb, Transport::Usb);
    EXPECT_EQ(hub.counts(), (SessionCounts{2, 1, 2}));
    const auto sizes = [&] {
        return std::vector<std::size_t>{wifi.replies().size(), unconfirmed.replies().size(), usb.replies().size()};
    };
    const auto before = sizes();
    const std::string note = osctest::encode({"/broadcast/note", {60}});
    hub.toConnected(OutboundQueue::frame(note.data(), note.size()), &wifi);
    EXPECT_EQ(sizes(), (std::vector<std::size_t>{before[0], before[1], before[2] + 1}));
    hub.toEvery(OutboundQueue::frame(note.data(), note.size()));
    EXPECT_EQ(sizes(), (std::vector<std::size_t>{before[0] + 1, before[1] + 1, before[2] + 2}));

    // Tablets that read nothing: their queues grow past every mark.
    const auto big = OutboundQueue::frame(std::string(64 * 1024, 'x').data(), 64 * 1024);
    for (int i = 0; i < 40; ++i) unconfirmed.SendData(big);
    EXPECT_TRUE(unconfirmed.backlogged());
    EXPECT_FALSE(hub.backlogged(&wifi));
    for (int i = 0; i < 40; ++i) usb.TransmitMessage(big);
    EXPECT_TRUE(hub.backlogged(&wifi));  // the USB tablet is confirmed
    EXPECT_FALSE(hub.backlogged(&usb));  // but its own backlog holds back no broadcast of its own

    int looks = 0;
    for (int i = 0; i < 20; ++i) hub.toEveryBulk(big);
    EXPECT_FALSE(hub.waitForBulkRoom([&] { return ++looks > 2; }));
    hub.unlist(&unconfirmed);
    hub.unlist(&usb);
    hub.unlist(&wifi);
    EXPECT_TRUE(hub.waitForBulkRoom({}));  // nobody left to wait for
}

// Who gets a place at a listener: within the caps everyone; at a cap the
// newcomer takes the place of the longest-silent unconfirmed session of
// those counted (its own address's at the per-address cap), else of a
// confirmed one silent for 10 s, else it is refused; without replacement
// (USB) a cap simply refuses.
TEST(AdmissionPolicyTest, ANewcomerGetsAPlaceOnlyFromSomeoneWhoWentQuiet) {
    using Verdict = AdmissionPolicy::Decision::Verdict;
    using Occupant = AdmissionPolicy::Occupant;
    const int a = 0, b = 0, c = 0, d = 0;  // the sessions, by address
    const std::uint64_t now = 100'000;
    struct Case {
        const char* what;
        SessionLimits limits;
        bool replace;
        std::vector<Occupant> occupants;
        Verdict verdict;
        const void* evict;
    };
    const Case cases[] = {
        {"room", {3, 2}, true, {{&a, true, true, now}, {&b, false, true, 0}}, Verdict::Admit, nullptr},
        {"address cap: its silent confirmed one", {8, 2}, true,
         {{&a, true, true, now - 10'000}, {&b, true, true, now - 9'999}, {&c, false, false, 0}}, Verdict::Replace, &a},
        {"address cap: answering tablets keep their places", {8, 2}, true,
         {{&a, true, true, now - 9'999}, {&b, true, true, now}, {&c, false, false, 0}}, Verdict::Refuse, nullptr},
        {"address cap: unconfirmed first, however fresh", {8, 2}, true,
         {{&a, true, true, 0}, {&b, true, false, now}}, Verdict::Replace, &b},
        {"full: another address's unconfirmed one", {3, 3}, true,
         {{&a, true, true, 0}, {&b, false, false, now - 5}, {&c, false, false, now - 1}}, Verdict::Replace, &b},
        {"full: the longest silent confirmed one", {3, 3}, true,
         {{&a, false, true, now - 20'000}, {&b, false, true, now - 30'000}, {&c, true, true, now}}, Verdict::Replace,
         &b},
        {"full and all answering", {3, 3}, true,
         {{&a, false, true, now}, {&b, false, true, now}, {&c, true, true, now - 9'000}}, Verdict::Refuse, nullptr},
        {"USB never replaces", {2, 4}, false, {{&a, false, false, 0}, {&d, false, false, 0}}, Verdict::Refuse, nullptr},
    };
    for (const Case& test : cases) {
        const AdmissionPolicy policy(test.limits, test.replace, 10'000);
        const AdmissionPolicy::Decision decision = policy.decide(test.occupants, now);
        EXPECT_EQ(decision.verdict, test.verdict) << test.what;
        EXPECT_EQ(decision.evict, test.evict) << test.what;
    }
}

// The hub counts for admission whom the listener says: the newcomer's peer's
// sessions for the per-peer cap, sessions already stopping only when asked
// (a USB session's thread and descriptors are not free yet), and only the
// listener's own kind; a place given goes with a stop.
TEST_F(SessionHubTest, AdmissionCountsWhomTheListenerSaysAndEvictsByStopping) {
    SessionHub hub;
    TestSession leaving(m_Links), staying(m_Links);
    hub.add(&leaving, Transport::Wifi);
    hub.add(&staying, Transport::Wifi);
    leaving.Stop();
    using Verdict = AdmissionPolicy::Decision::Verdict;
    const auto verdict = [&](Transport transport, SessionLimits limits, bool countLeaving, const BaseClientThread* peer) {
        const auto samePeer = [peer](const BaseClientThread& session) { return &session == peer; };
        return hub.admit(transport, AdmissionPolicy(limits, false, 0), samePeer, countLeaving).decision.verdict;
    };
    EXPECT_EQ(verdict(Transport::Wifi, {2, 2}, false, nullptr), Verdict::Admit);
    EXPECT_EQ(verdict(Transport::Wifi, {2, 2}, true, nullptr), Verdict::Refuse);
    EXPECT_EQ(verdict(Transport::Wifi, {3, 1}, false, &staying), Verdict::Refuse);
    EXPECT_EQ(verdict(Transport::Wifi, {3, 1}, true, &leaving), Verdict::Refuse);
    EXPECT_EQ(verdict(Transport::Wifi, {3, 1}, false, &leaving), Verdict::Admit);
    EXPECT_EQ(verdict(Transport::Usb, {1, 1}, true, nullptr), Verdict::Admit);

    const SessionHub::Admission replaced =
        hub.admit(Transport::Wifi, AdmissionPolicy({1, 1}, true, 0), [](const BaseClientThread&) { return false; }, false);
    EXPECT_EQ(replaced.decision.verdict, Verdict::Replace);
    EXPECT_EQ(replaced.evicted, "0.0.0.0");
    EXPECT_FALSE(staying.isRunning());
    hub.unlist(&leaving);
    hub.unlist(&staying);
}

}  // namespace

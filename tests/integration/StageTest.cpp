// The relay on a stage's links: a tablet behind a slow link receiving a
// set's waveforms, a flooding tablet beside a well-behaved one, a Live that
// stops reading for a while, a tablet that comes back while its old
// sessions linger, and one that vanishes without a word.
#include "AudioFiles.h"
#include "RelayFixture.h"
#include "SessionHub.h"
#include "ShapedLink.h"

#include <algorithm>

using namespace std::chrono_literals;
using namespace std::string_literals;
using osctest::Message;

namespace {

class StageTest : public RelayTest {
protected:
    // A confirmed tablet behind `link`.
    std::unique_ptr<SimulatedTablet> tabletBehind(const ShapedLink& link) {
        std::unique_ptr<SimulatedTablet> ipad;
        link.inside([&] { ipad = std::make_unique<SimulatedTablet>(link.serverAddress(), _ipadSrvThread->getPort()); });
        ipad->sendMessage({"/server/ping", {1}});
        EXPECT_TRUE(ipad->waitFor("/server/pong", 5s).has_value());
        return ipad;
    }
};

#define SHAPED_LINK(name, rate)                                  \
    ShapedLink name(rate);                                       \
    if (!(name).unavailable().empty()) GTEST_SKIP() << (name).unavailable()  // NOLINT

// 24 clips on a 20 Mbit/s link: about 5.8 MB of waveform replies, more than
// such a link takes in two seconds. The tablet keeps its session, gets every
// reply whole and in request order, and the script's ordinary messages sent
// meanwhile all arrive.
TEST_F(StageTest, ATabletOnASlowLinkReceivesAWholeSet) {
    SHAPED_LINK(link, "20mbit");
    openRelay();
    auto ipad = tabletBehind(link);
    constexpr int kClips = 24;
    const std::string first = writeSound(m_Dir.file("clip0.wav"), 1, std::vector<float>(441000, 0.25f));
    for (int clip = 0; clip < kClips; ++clip) {
        const std::string path = m_Dir.file("clip" + std::to_string(clip) + ".wav");
        if (clip > 0) std::filesystem::copy_file(first, path);  // another file: not from the cache
        m_Script->sendMessage({"/clip/reset_waveform", {clip, 0, path, 0.0f, 1.0f}});
        m_Script->sendMessage({"/ordinary", {clip}});
    }
    std::vector<Message> series;
    std::vector<std::int32_t> ordinary;
    while (series.size() < 3 * kClips) {
        const auto message = ipad->readMessage(20s * kSlowdown);
        ASSERT_TRUE(message.has_value()) << series.size() << " replies";
        if (message->address == "/ordinary") ordinary.push_back(std::get<std::int32_t>(message->arguments[0]));
        if (message->address.rfind("/clip/update", 0) == 0) series.push_back(*message);
    }
    for (int i = 0; i < 3 * kClips; ++i) {
        EXPECT_EQ(std::get<std::int32_t>(series[i].arguments[0]), i / 3) << i;
        if (i % 3 < 2) {
            EXPECT_GT(std::get<osctest::Blob>(series[i].arguments[2]).bytes.size(), 100000u) << i;
        }
    }
    std::vector<std::int32_t> all(kClips);
    for (int clip = 0; clip < kClips; ++clip) all[clip] = clip;
    EXPECT_EQ(ordinary, all);
    EXPECT_EQ(count("lost while sending"), 0u) << log();
    EXPECT_EQ(_ipadSrvThread->getConnectedClientCount(), 1u);
}

// One tablet floods "/broadcast" as fast as it can; another reads at its
// slow link's pace. The flooder is read only as fast as the other takes its
// broadcasts: it gets far fewer bytes in than it would unchecked, the slow
// tablet keeps its session, and every broadcast the flooder sent arrives.
TEST_F(StageTest, ABroadcastFloodIsReadOnlyAsFastAsItsReceiversTakeIt) {
    SHAPED_LINK(link, "20mbit");
    openRelay();
    auto good = tabletBehind(link);
    auto flooder = tablet(true);
    std::atomic<std::int32_t> sent{0};
    std::atomic<bool> done{false};
    std::thread flood([&] {
        const auto until = std::chrono::steady_clock::now() + 2s;
        const std::vector<char> filler(32 * 1024, 'f');
        for (std::int32_t i = 0; std::chrono::steady_clock::now() < until; ++i) {
            flooder->sendMessage({"/broadcast/flood", {i, osctest::Blob{filler}}});  // blocks while not read
            sent = i + 1;
        }
        done = true;
    });
    std::int32_t next = 0;
    bool inOrder = true;
    while (!(done && next == sent.load())) {
        const auto message = good->readMessage(5s * kSlowdown);
        if (!message) break;
        if (message->address != "/broadcast/flood") continue;
        inOrder = inOrder && std::get<std::int32_t>(message->arguments[0]) == next;
        ++next;
    }
    flood.join();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(next, sent.load());
    // 2 s at 20 Mbit/s is 5 MB, plus what the sockets and the receiver's
    // queue hold; unchecked, loopback takes hundreds of megabytes.
    EXPECT_LT(static_cast<std::int64_t>(sent.load()) * 32 * 1024, 40ll << 20);
    EXPECT_EQ(count("lost while sending"), 0u) << log();
}

// Live reads nothing for a while (a set loads) while a tablet sends it as
// much as it can. The tablet is simply read more slowly: once megabytes wait
// for Live, the server holds the tablet back; when Live reads again, every
// message arrives, in order, on the same connection, however long the pause
// (the server's clock moves on by a minute meanwhile).
TEST_F(StageTest, ABusyLiveLosesNothingAndKeepsItsConnection) {
    openRelay();
    auto ipad = tablet(true);
    m_Script->pauseReading(true);
    std::atomic<bool> sending{true};
    std::atomic<std::int32_t> sent{0};
    std::thread sender([&] {
        const std::string filler(880, 'm');
        for (std::int32_t i = 0; sending; ++i) {
            ipad->sendMessage({"/track/fx", {i, filler}});  // blocks while the tablet is held back
            sent = i + 1;
        }
    });
    const bool heldBack = waitUntil([] { return _abletonClientThread->backlogged(); }, 20s * kSlowdown);
    while (ipad->readFrame(1ms).has_value()) {  // the pings so far: the tablet has read nothing since
    }
    Clock::advanceForTesting(60);
    int steps = 0;  // liveness steps on the moved clock, each pinging the tablet
    while (steps < 3 && ipad->waitFor("/app/ping", 3s * kSlowdown).has_value()) ++steps;
    sending = false;
    m_Script->pauseReading(false);
    sender.join();
    EXPECT_TRUE(heldBack);
    EXPECT_EQ(steps, 3);
    const auto arrived = [&] {
        std::vector<std::int32_t> numbers;
        for (const std::string& payload : m_Script->payloadsExceptPings()) {
            const auto packet = osctest::decode(payload);
            if (packet && packet->messages.front().address == "/track/fx") {
                numbers.push_back(std::get<std::int32_t>(packet->messages.front().arguments[0]));
            }
        }
        return numbers;
    };
    EXPECT_TRUE(waitUntil([&] { return arrived().size() >= static_cast<std::size_t>(sent.load()); }, 30s * kSlowdown));
    const std::vector<std::int32_t> numbers = arrived();
    std::vector<std::int32_t> all(static_cast<std::size_t>(sent.load()));
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::int32_t>(i);
    EXPECT_TRUE(numbers == all) << numbers.size() << " of " << all.size();
    EXPECT_GT(sent.load(), 1000);
    EXPECT_EQ(m_Script->connections(), 1);
    EXPECT_EQ(count("for the Live script were dropped"), 0u) << log();
}

// Eight sessions of one address that stopped answering (a tablet's app was
// suspended and resumed): the address's newcomer takes the place of the one
// silent longest once it has been silent for 10 s, not before.
class CapTest : public StageTest {
protected:
    std::string settings() const override { return "wifi.max_sessions=16\nwifi.max_sessions_per_address=8\n"; }
};

TEST_F(CapTest, ATabletBackFromSuspensionReplacesItsOwnSilentSessions) {
    openRelay();
    std::vector<std::unique_ptr<SimulatedTablet>> old;
    for (int i = 0; i < 8; ++i) old.push_back(tablet(true, 0, "127.0.0.3"));
    const auto newcomer = [] {
        SimulatedTablet ipad(static_cast<std::uint16_t>(_ipadSrvThread->getPort()), 0, "127.0.0.3");
        ipad.sendMessage({"/server/ping", {1}});
        return ipad.waitFor("/server/pong", 1s * kSlowdown).has_value();
    };
    Clock::advanceForTesting(9);
    EXPECT_FALSE(newcomer());
    Clock::advanceForTesting(1);
    EXPECT_TRUE(newcomer());
    EXPECT_EQ(count("8 sessions from that address: dropping the session of 127.0.0.3"), 1u) << log();
}

// A tablet out of range sends no FIN and no RST. It is let go by the
// transport's own time-outs (shortened here from their 20 s).
class VanishingTest : public StageTest {
protected:
    void SetUp() override {
        IpadServerThread::setTabletLinkForTesting({.keepAliveIdleSeconds = 1,
                                                   .keepAliveIntervalSeconds = 1,
                                                   .keepAliveProbes = 2,
                                                   .userTimeoutMilliseconds = 1500});
        StageTest::SetUp();
    }
    void TearDown() override {
        StageTest::TearDown();
        IpadServerThread::setTabletLinkForTesting({});
    }
};

TEST_F(VanishingTest, ATabletThatVanishesIsLetGo) {
    SHAPED_LINK(link, "20mbit");
    openRelay();
    auto ipad = tabletBehind(link);
    ASSERT_EQ(_ipadSrvThread->getClientCount(), 1u);
    link.cut();
    EXPECT_TRUE(waitUntil([] { return _ipadSrvThread->getClientCount() == 0; }, 10s * kSlowdown));
}

}  // namespace

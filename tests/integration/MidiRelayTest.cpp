// The virtual MIDI sources as a JACK MIDI reader sees them: the tablets' MIDI,
// the cue after every frame to the script, the meter tick and studio mode.
#include "RelayFixture.h"

#include "JackTestServer.h"
#include "MeterUpdateThread.h"
#include "MidiPort.h"

using namespace std::chrono_literals;

namespace {

const std::vector<unsigned char> kPoke{0xF0, 0x01, 0xF7};
const std::vector<unsigned char> kTick{0xF0, 0x02, 0xF7};

class MidiRelayTest : public RelayTest {
protected:
    void SetUp() override {
        m_Jack = std::make_unique<JackTestServer>();
        if (!m_Jack->running()) GTEST_SKIP() << "no JACK server could be started";
        RelayTest::SetUp();
        ASSERT_TRUE(MidiPort::getInstance()->isReady());
        m_App = std::make_unique<MidiCapture>("corviLane:corviLane");
        m_Cues = std::make_unique<MidiCapture>("corviLane Script:corviLane Script Input");
        ASSERT_TRUE(m_App->connected());
        ASSERT_TRUE(m_Cues->connected());
        // The connections are live once the ticks come through.
        ASSERT_TRUE(waitUntil([&] { return m_Cues->count(kTick) > 0; }, 3s));
    }

    void TearDown() override {
        m_App.reset();
        m_Cues.reset();
        if (m_Jack->running()) RelayTest::TearDown();
    }

    std::unique_ptr<JackTestServer> m_Jack;
    std::unique_ptr<MidiCapture> m_App;
    std::unique_ptr<MidiCapture> m_Cues;
};

TEST_F(MidiRelayTest, TabletMidiGoesOutOnTheAppSourceAsItsLowBytes) {
    auto ipad = tablet(false);
    ipad->sendMessage({"/midi", {144, 60, 100}});
    ipad->sendMessage({"/midi", {400, 1}});
    ipad->sendMessage({"/midi", {176}});  // too few: 00 00
    ASSERT_TRUE(waitUntil([&] { return m_App->events().size() >= 3; }, 3s));
    const auto events = m_App->events();
    EXPECT_EQ(events[0].bytes, (std::vector<unsigned char>{0x90, 0x3C, 0x64}));
    EXPECT_EQ(events[1].bytes, (std::vector<unsigned char>{0x90, 0x01}));
    EXPECT_EQ(events[2].bytes, (std::vector<unsigned char>{0x00, 0x00}));
    EXPECT_EQ(m_Cues->count({0x90, 0x3C, 0x64}), 0u);
}

// Each frame the script gets is cued once: the cues follow the frames the
// script received, and never outrun them.
TEST_F(MidiRelayTest, EveryFrameToTheScriptIsCuedAndTheMeterTicks) {
    m_Script->clear();
    m_Cues->clear();
    ASSERT_TRUE(waitUntil([&] { return m_Script->payloads().size() >= 3; }, 3s));
    const std::size_t frames = m_Script->payloads().size();
    EXPECT_TRUE(waitUntil([&] { return m_Cues->count(kPoke) >= frames; }, 3s));
    const std::size_t cues = m_Cues->count(kPoke);
    EXPECT_TRUE(waitUntil([&] { return m_Script->payloads().size() >= cues; }, 3s));
    EXPECT_TRUE(waitUntil([&] { return m_Cues->count(kTick) >= 10; }, 3s));
}

// While frames go to the script in studio mode, neither cue nor tick comes;
// ticks come back when it ends.
TEST_F(MidiRelayTest, StudioModeSilencesBothCuesAndTicksComeBackWhenItEnds) {
    setStudioMode(true);
    auto pingsFromNow = [&](std::size_t count) {
        m_Script->clear();
        return waitUntil([&] { return m_Script->payloads().size() >= count; }, 3s);
    };
    ASSERT_TRUE(pingsFromNow(1));  // what was on its way has arrived
    m_Cues->clear();
    ASSERT_TRUE(pingsFromNow(3)) << "frames still go to the script";
    EXPECT_EQ(m_Cues->count(kPoke), 0u);
    EXPECT_EQ(m_Cues->count(kTick), 0u);

    setStudioMode(false);
    EXPECT_TRUE(waitUntil([&] { return m_Cues->count(kTick) > 0; }, 3s));
}

TEST(MidiPortTest, SourcesAppearUnderTheirNamesAndGoAwayWithCleanup) {
    JackTestServer jack;
    if (!jack.running()) GTEST_SKIP() << "no JACK server could be started";
    MidiPort* port = MidiPort::create(&LinuxPlatform::instance());
    ASSERT_TRUE(port->isReady());
    {
        MidiCapture app("corviLane:corviLane");
        ASSERT_TRUE(app.connected());
        // A new JACK connection takes effect from a later process cycle: send
        // until the reader has one.
        const unsigned char note[3] = {0x90, 0x3C, 0x7F};
        EXPECT_TRUE(waitUntil([&] {
            port->SendCommand(note, 3, false);
            return app.count({0x90, 0x3C, 0x7F}) > 0;
        }, 3s));
    }
    MidiPort::Cleanup();
    jack_status_t status{};
    jack_client_t* client = jack_client_open("corvilane-lookup", JackNoStartServer, &status);
    const char** ports = jack_get_ports(client, "corviLane", nullptr, 0);
    EXPECT_EQ(ports, nullptr);
    if (ports != nullptr) jack_free(ports);
    jack_client_close(client);
}

}  // namespace

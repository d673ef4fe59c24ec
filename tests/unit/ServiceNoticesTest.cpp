// What the server says to the musician: the reach line of the tray and the
// service's lines on standard error.
#include "ServiceNotices.h"
#include "TabletReach.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

const std::vector<TabletReach::Address> wiredThenWifi{{"10.0.0.5", false}, {"192.168.1.20", true}};

// The tool tip's and status window's line: a Wi-Fi address first, and what the
// advertisement is doing; the terminal's names every address.
TEST(TabletReachTest, NamesAWifiAddressAndThePortOrWhatStopsTablets) {
    using Named = TabletReach::Addresses;
    const struct {
        std::vector<TabletReach::Address> addresses;
        std::uint16_t port;
        std::string advertisement;
        Named named;
        std::string line;
    } cases[] = {
        {wiredThenWifi, 9020, "advertised as \"Studio\"", Named::First,
         "Wi-Fi: 192.168.1.20:9020, advertised as \"Studio\""},
        {wiredThenWifi, 9020, "advertised as \"Studio\"", Named::Every,
         "Wi-Fi: 192.168.1.20:9020 or 10.0.0.5:9020, advertised as \"Studio\""},
        {{{"10.0.0.5", false}}, 9020, "not advertised: avahi-daemon is not running", Named::First,
         "Wi-Fi: 10.0.0.5:9020, not advertised: avahi-daemon is not running"},
        {{}, 41000, "", Named::Every, "Wi-Fi: no network (port 41000)"},
        {wiredThenWifi, 0, "advertised as \"Studio\"", Named::Every, "Wi-Fi: not listening"},
    };
    for (const auto& c : cases) EXPECT_EQ(TabletReach::line(c.addresses, c.port, c.advertisement, c.named), c.line);
}

// Each confirmed tablet's line: its name, how it is attached, and how fast it
// answers; slow answers mark a slow link.
TEST(TabletReachTest, ATabletLineSaysWhoItIsAndHowWellItAnswers) {
    const std::pair<TabletStatus, std::string> cases[] = {
        {{"Stage Pad", false, "192.168.1.23", 12, false}, "Stage Pad: Wi-Fi 192.168.1.23, 12 ms"},
        {{"", true, "00008030-001A", -1, false}, "unnamed tablet: USB 00008030-001A, no answer yet"},
        {{"Back Pad", false, "10.0.0.9", 340, true}, "Back Pad: Wi-Fi 10.0.0.9, 340 ms, slow link"},
    };
    for (const auto& [tablet, line] : cases) EXPECT_EQ(TabletReach::tabletLine(tablet), line);
}

// Each fact once as it becomes known, again when it changes; a look that
// changes nothing says nothing.
TEST(ServiceNoticesTest, SaysEachFactOnceAsItBecomesKnownAndWhenItChanges) {
    ServiceNotices::State state;
    state.addresses = wiredThenWifi;
    state.wantedPort = 9020;
    state.port = 50137;
    state.advertisement = "not advertised";  // Avahi has not answered yet
    state.midiTried = true;
    state.midiSystem = "the ALSA sequencer";
    using Change = std::function<void(ServiceNotices::State&)>;
    const struct {
        Change change;
        std::vector<std::string> lines;
    } looks[] = {
        {[](auto&) {},
         {"Wi-Fi port 9020 was not free, using 50137",
          "MIDI: sources \"corviLane\" and \"corviLane Script Input\" published on the ALSA sequencer"}},
        {[](auto& s) { s.usbmuxd = ServiceNotices::Daemon::Absent; },
         {"USB: usbmuxd is not running: tablets on a cable are served once it starts"}},
        {[](auto& s) { s.advertisement = "advertised as \"Studio\""; },
         {"Wi-Fi: 192.168.1.20:50137 or 10.0.0.5:50137, advertised as \"Studio\"",
          "Live script: not found yet (looking on ports 9008-9017: start Live with corviLane as its control surface)"}},
        {[](auto& s) { s.scriptConnected = true; }, {}},  // connected, not answered yet
        {[](auto& s) {
             s.scriptAnswers = true;
             s.scriptPort = 9009;
         },
         {"Live script: connected on port 9009"}},
        {[](auto&) {}, {}},
        {[](auto& s) { s.scriptConnected = s.scriptAnswers = false; },
         {"Live script: connection lost; looking for it again on ports 9008-9017"}},
        {[](auto&) {}, {}},
        {[](auto& s) { s.usbmuxd = ServiceNotices::Daemon::Running; },
         {"USB: usbmuxd found: tablets on a cable are served"}},
    };
    ServiceNotices notices;
    for (std::size_t look = 0; look < std::size(looks); ++look) {
        looks[look].change(state);
        EXPECT_EQ(notices.look(state), looks[look].lines) << "look " << look + 1;
    }
}

}  // namespace

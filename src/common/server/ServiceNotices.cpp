#include "ServiceNotices.h"

namespace {

// What DNS-SD says before Avahi has answered at all.
constexpr const char* kUnsettledAdvertisement = "not advertised";
constexpr const char* kScriptConnected = "Live script: connected";
constexpr const char* kScriptLost = "Live script: connection lost; looking for it again on ports 9008-9017";

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

std::vector<std::string> ServiceNotices::look(const State& state) {
    ++m_Looks;
    m_UnansweredLooks = state.scriptConnected && !state.scriptAnswers ? m_UnansweredLooks + 1 : 0;
    const bool settled = m_Looks >= kSettlingLooks;
    std::vector<std::string> lines;
    if (state.advertisement != kUnsettledAdvertisement || settled) {
        say("wifi", TabletReach::line(state.addresses, state.port, state.advertisement, TabletReach::Addresses::Every),
            lines);
    }
    if (state.wantedPort != 0 && state.port != 0 && state.wantedPort != state.port) {
        say("port",
            "Wi-Fi port " + std::to_string(state.wantedPort) + " was not free, using " + std::to_string(state.port),
            lines);
    }
    say("script", scriptLine(state), lines);
    if (state.midiTried) {
        say("midi",
            state.midiSystem.empty()
                ? "MIDI: not published: neither the ALSA sequencer nor a JACK server is available (sudo modprobe "
                  "snd-seq, or start JACK, then restart corviLane)"
                : "MIDI: sources \"corviLane\" and \"corviLane Script Input\" published on " + state.midiSystem,
            lines);
    }
    if (state.usbmuxd == Daemon::Running) {
        say("usb", "USB: usbmuxd found: tablets on a cable are served", lines);
    } else if (state.usbmuxd == Daemon::Absent) {
        say("usb", "USB: usbmuxd is not running: tablets on a cable are served once it starts", lines);
    }
    return lines;
}

void ServiceNotices::say(const std::string& topic, const std::string& line, std::vector<std::string>& lines) {
    if (line.empty()) return;
    std::string& said = m_Said[topic];
    if (said == line) return;
    said = line;
    lines.push_back(line);
}

// A connection counts once the script has answered on it (its pong names
// its port); one lost is said once, until the script is back.
std::string ServiceNotices::scriptLine(const State& state) const {
    const auto said = m_Said.find("script");
    const std::string last = said != m_Said.end() ? said->second : "";
    const bool settled = m_Looks >= kSettlingLooks;
    if (state.scriptConnected) {
        if (state.scriptAnswers) return std::string(kScriptConnected) + " on port " + std::to_string(state.scriptPort);
        const bool silent = m_UnansweredLooks >= kSettlingLooks;
        return silent && !startsWith(last, kScriptConnected) ? "Live script: connected, but it does not answer" : "";
    }
    if (startsWith(last, kScriptConnected) || last == kScriptLost) return kScriptLost;
    return settled ? "Live script: not found yet (looking on ports 9008-9017: start Live with corviLane as its "
                     "control surface)"
                   : "";
}

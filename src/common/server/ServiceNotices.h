#pragma once

#include "TabletReach.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The lines a musician needs from a server that runs as a service: where
// tablets reach it and whether it is advertised, a Wi-Fi port it could not
// have, the Live script's link, MIDI and USB. Each is said once when it
// becomes known and again when it changes. The server looks once a second
// and writes the lines to standard error, which a terminal shows and a user
// service's journal keeps.
class ServiceNotices {
public:
    enum class Daemon { Unknown, Running, Absent };

    // What the server knows at one look.
    struct State {
        std::vector<TabletReach::Address> addresses;
        std::uint16_t wantedPort = 0;  // the Wi-Fi port the settings ask for
        std::uint16_t port = 0;        // the one the listener has; 0: none
        std::string advertisement;     // what DNS-SD is doing; empty: no advertisement
        bool scriptConnected = false;
        bool scriptAnswers = false;    // its pong came within the last 10 s
        int scriptPort = 0;            // the port the script says it listens on
        bool midiTried = false;        // the MIDI sources were made, or could not be
        std::string midiSystem;        // where they are published; empty: nowhere
        Daemon usbmuxd = Daemon::Unknown;
    };

    // Looks before a fact counts as unknown for good: an advertisement not
    // yet settled, a script connection still being looked for.
    static constexpr int kSettlingLooks = 3;

    // The lines for what became known or changed since the last look.
    std::vector<std::string> look(const State& state);

private:
    void say(const std::string& topic, const std::string& line, std::vector<std::string>& lines);
    std::string scriptLine(const State& state) const;

    std::map<std::string, std::string> m_Said;  // topic: its last line
    int m_Looks = 0;
    int m_UnansweredLooks = 0;  // looks in a row the script was connected but silent
};

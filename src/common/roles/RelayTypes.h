#pragma once

#include <cstddef>
#include <string>

// Whom a routed message went on to. A sender that can wait is read no
// further while those its message went to are backlogged.
enum Sent : unsigned { kSentNowhere = 0, kSentToScript = 1, kSentToTablets = 2 };

// What the Live script is known to be, as the tablets' replies and the
// status menu give it: a value, read in one go.
struct ScriptStatus {
    int version = 0;         // the first argument of the script's last pong; 0 before any
    bool available = false;  // its last pong is less than 10 seconds old
    int info[3] = {0, 0, 0};
    int port = 0;            // the port the script says it listens on
};

struct SessionCounts {
    std::size_t wifi = 0;       // Wi-Fi sessions, confirmed or not
    std::size_t usb = 0;        // USB sessions, confirmed or not
    std::size_t connected = 0;  // sessions of either kind the tablet has confirmed
    bool operator==(const SessionCounts&) const = default;
};

// One tablet as the status menu and the check show it.
struct TabletStatus {
    std::string name;      // what it said its name was ("/device_name"); empty: nothing yet
    bool usb = false;      // on the cable, else on Wi-Fi
    std::string address;   // Wi-Fi: its address; USB: the device's identifier
    int roundTripMs = -1;  // from its answers to the pings; -1: none yet
    bool slowLink = false; // its answers lag more than 200 ms
    bool operator==(const TabletStatus&) const = default;
};

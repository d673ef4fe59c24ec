#pragma once

#include "RelayTypes.h"

#include <cstdint>
#include <string>
#include <vector>

// Where tablets reach this computer over Wi-Fi, or what stops them, in one
// line for the tray icon's tool tip and the status window:
// "Wi-Fi: 192.168.1.20:9020, advertised as "Studio"", and for the server's
// terminal with every address: "Wi-Fi: 192.168.1.20:9020 or 10.0.0.5:9020, ...".
class TabletReach {
public:
    struct Address {
        std::string address;
        bool wireless = false;
    };
    enum class Addresses { First, Every };

    // `port` is the one the listener has (0: none yet); `advertisement` says
    // what the DNS-SD advertisement is doing (empty: there is none). A Wi-Fi
    // address goes before any other.
    static std::string line(const std::vector<Address>& addresses, std::uint16_t port,
                            const std::string& advertisement, Addresses named = Addresses::First);

    // One connected tablet, for the menu, the status window and the check:
    // "Stage Pad: Wi-Fi 192.168.1.23, 12 ms", "...: USB ID, 340 ms, slow link".
    static std::string tabletLine(const TabletStatus& tablet);
};

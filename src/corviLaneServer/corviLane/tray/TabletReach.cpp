#include "TabletReach.h"

#include <algorithm>

std::string TabletReach::tabletLine(const TabletStatus& tablet) {
    std::string text = (tablet.name.empty() ? std::string("unnamed tablet") : tablet.name) + ": " +
                       (tablet.usb ? "USB " : "Wi-Fi ") + tablet.address + ", ";
    text += tablet.roundTripMs < 0 ? std::string("no answer yet") : std::to_string(tablet.roundTripMs) + " ms";
    if (tablet.slowLink) text += ", slow link";
    return text;
}

std::string TabletReach::line(const std::vector<Address>& addresses, std::uint16_t port,
                              const std::string& advertisement) {
    if (port == 0) return "Wi-Fi: not listening";
    const auto wireless = std::find_if(addresses.begin(), addresses.end(), [](const Address& a) { return a.wireless; });
    const auto chosen = wireless != addresses.end() ? wireless : addresses.begin();
    std::string text = chosen != addresses.end() ? "Wi-Fi: " + chosen->address + ":" + std::to_string(port)
                                                 : "Wi-Fi: no network (port " + std::to_string(port) + ")";
    if (!advertisement.empty()) text += ", " + advertisement;
    return text;
}

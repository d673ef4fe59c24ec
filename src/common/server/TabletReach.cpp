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
                              const std::string& advertisement, Addresses named) {
    if (port == 0) return "Wi-Fi: not listening";
    std::vector<Address> ordered = addresses;
    std::stable_partition(ordered.begin(), ordered.end(), [](const Address& a) { return a.wireless; });
    if (named == Addresses::First && ordered.size() > 1) ordered.resize(1);
    std::string text;
    for (const Address& address : ordered) {
        text += (text.empty() ? "Wi-Fi: " : " or ") + address.address + ":" + std::to_string(port);
    }
    if (text.empty()) text = "Wi-Fi: no network (port " + std::to_string(port) + ")";
    if (!advertisement.empty()) text += ", " + advertisement;
    return text;
}

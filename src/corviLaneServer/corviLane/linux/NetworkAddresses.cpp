#include "NetworkAddresses.h"

#include "SocketUtil.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <filesystem>
#include <memory>

namespace {

// The kernel shows a Wi-Fi interface by these entries of its device.
bool isWireless(const std::string& interface) {
    std::error_code error;
    const std::filesystem::path device = "/sys/class/net/" + interface;
    return std::filesystem::exists(device / "wireless", error) || std::filesystem::exists(device / "phy80211", error);
}

}  // namespace

std::vector<NetworkAddresses::Entry> NetworkAddresses::list() {
    std::vector<Entry> found;
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0) return found;
    const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owned(raw, &freeifaddrs);
    for (const ifaddrs* entry = raw; entry != nullptr; entry = entry->ifa_next) {
        const unsigned flags = entry->ifa_flags;
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET || (flags & IFF_UP) == 0 ||
            (flags & IFF_RUNNING) == 0 || (flags & IFF_LOOPBACK) != 0) {
            continue;
        }
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        found.push_back({entry->ifa_name, sockets::dotted(*address), isWireless(entry->ifa_name)});
    }
    return found;
}

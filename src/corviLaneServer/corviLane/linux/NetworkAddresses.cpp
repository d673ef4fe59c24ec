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

// The IPv4 entries of the interfaces that are up and running, loopback left out.
template <class Visit>
void forEachUpInterface(Visit visit) {
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0) return;
    const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owned(raw, &freeifaddrs);
    for (const ifaddrs* entry = raw; entry != nullptr; entry = entry->ifa_next) {
        const unsigned flags = entry->ifa_flags;
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET || (flags & IFF_UP) == 0 ||
            (flags & IFF_RUNNING) == 0 || (flags & IFF_LOOPBACK) != 0) {
            continue;
        }
        visit(*entry);
    }
}

constexpr int kWidestSubnet = 8;

}  // namespace

std::vector<NetworkAddresses::Entry> NetworkAddresses::list() {
    std::vector<Entry> found;
    forEachUpInterface([&](const ifaddrs& entry) {
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry.ifa_addr);
        found.push_back({entry.ifa_name, sockets::dotted(*address), isWireless(entry.ifa_name)});
    });
    return found;
}

std::vector<Ipv4Subnet> NetworkAddresses::subnets() {
    std::vector<Ipv4Subnet> found;
    forEachUpInterface([&](const ifaddrs& entry) {
        if (entry.ifa_netmask == nullptr || entry.ifa_netmask->sa_family != AF_INET) return;
        const std::uint32_t address = ntohl(reinterpret_cast<const sockaddr_in*>(entry.ifa_addr)->sin_addr.s_addr);
        const std::uint32_t mask = ntohl(reinterpret_cast<const sockaddr_in*>(entry.ifa_netmask)->sin_addr.s_addr);
        const int bits = __builtin_popcount(mask);
        if (bits < kWidestSubnet) return;
        found.push_back({address & mask, bits});
    });
    return found;
}

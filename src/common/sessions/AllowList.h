#pragma once

#include "Platform.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The IPv4 addresses that may open Wi-Fi sessions, as the settings give them
// ("wifi.allow"): "any", or a comma-separated list of addresses, prefixes
// such as 192.168.1.20 and 192.168.1.0/24, and "subnets": the networks of
// this computer's interfaces that are up when a connection arrives. By
// default the addresses a local network uses: loopback, the private ranges,
// link-local, carrier-grade NAT and this computer's own subnets (a LAN of
// public addresses, as some campuses have); any other host is refused.
class AllowList {
public:
    static constexpr const char* kDefault =
        "127.0.0.0/8,10.0.0.0/8,172.16.0.0/12,192.168.0.0/16,169.254.0.0/16,100.64.0.0/10,subnets";
    static constexpr const char* kSubnets = "subnets";

    using SubnetSource = std::function<std::vector<Ipv4Subnet>()>;

    // Everything the text names; its entries that are neither an address
    // nor a prefix are left out and listed in `rejected`. `subnets` tells
    // this computer's networks when "subnets" is among the entries.
    static AllowList parse(const std::string& text, std::vector<std::string>& rejected, SubnetSource subnets = {});
    // The default list.
    static AllowList defaults(SubnetSource subnets = {});

    // `address` in network byte order.
    bool allows(std::uint32_t address) const;
    // Whether nothing at all is allowed (no entry could be read).
    bool empty() const { return !m_Any && !m_Subnets && m_Ranges.empty(); }
    // As it would be written in the settings.
    std::string text() const;
    // The same, with this computer's subnets as they are now:
    // "...,subnets (now 192.168.1.0/24)".
    std::string describe() const;

private:
    using Range = Ipv4Subnet;

    static bool parseRange(const std::string& entry, Range& range);
    static bool inRange(std::uint32_t host, const Range& range);
    static std::string written(const Range& range);

    bool m_Any = false;
    bool m_Subnets = false;  // "subnets" was named
    SubnetSource m_SubnetSource;
    std::vector<Range> m_Ranges;
};

#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The IPv4 addresses that may open Wi-Fi sessions, as the settings give them
// ("wifi.allow"): "any", or a comma-separated list of addresses and prefixes
// such as 192.168.1.20 and 192.168.1.0/24. By default the addresses a local
// network uses: loopback, the private ranges, link-local and carrier-grade
// NAT; a host with a public address is refused.
class AllowList {
public:
    static constexpr const char* kDefault =
        "127.0.0.0/8,10.0.0.0/8,172.16.0.0/12,192.168.0.0/16,169.254.0.0/16,100.64.0.0/10";

    // Everything the text names; its entries that are neither an address
    // nor a prefix are left out and listed in `rejected`.
    static AllowList parse(const std::string& text, std::vector<std::string>& rejected);
    // The default list.
    static AllowList defaults();

    // `address` in network byte order.
    bool allows(std::uint32_t address) const;
    // Whether nothing at all is allowed (no entry could be read).
    bool empty() const { return !m_Any && m_Ranges.empty(); }
    // As it would be written in the settings.
    std::string text() const;

private:
    struct Range {
        std::uint32_t network = 0;  // host byte order
        int bits = 0;
    };

    static bool parseRange(const std::string& entry, Range& range);

    bool m_Any = false;
    std::vector<Range> m_Ranges;
};

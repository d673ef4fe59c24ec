#include "AllowList.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <sstream>

namespace {

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::uint32_t maskOf(int bits) { return bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits); }

}  // namespace

AllowList AllowList::parse(const std::string& text, std::vector<std::string>& rejected, SubnetSource subnets) {
    AllowList list;
    list.m_SubnetSource = std::move(subnets);
    std::stringstream entries(text);
    for (std::string entry; std::getline(entries, entry, ',');) {
        entry = trimmed(entry);
        if (entry.empty()) continue;
        Range range;
        if (entry == "any") {
            list.m_Any = true;
        } else if (entry == kSubnets) {
            list.m_Subnets = true;
        } else if (parseRange(entry, range)) {
            list.m_Ranges.push_back(range);
        } else {
            rejected.push_back(entry);
        }
    }
    return list;
}

AllowList AllowList::defaults(SubnetSource subnets) {
    std::vector<std::string> rejected;
    return parse(kDefault, rejected, std::move(subnets));
}

// A dotted address, optionally followed by "/" and a prefix length of 0..32;
// the address's bits beyond the prefix are ignored.
bool AllowList::parseRange(const std::string& entry, Range& range) {
    const std::size_t slash = entry.find('/');
    in_addr address{};
    if (inet_pton(AF_INET, entry.substr(0, slash).c_str(), &address) != 1) return false;
    range.bits = 32;
    if (slash != std::string::npos) {
        const std::string length = entry.substr(slash + 1);
        char* end = nullptr;
        const long bits = std::strtol(length.c_str(), &end, 10);
        if (length.empty() || *end != '\0' || bits < 0 || bits > 32 || length[0] == '+' || length[0] == '-') return false;
        range.bits = static_cast<int>(bits);
    }
    range.network = ntohl(address.s_addr) & maskOf(range.bits);
    return true;
}

bool AllowList::inRange(std::uint32_t host, const Range& range) {
    return (host & maskOf(range.bits)) == (range.network & maskOf(range.bits));
}

// This computer's networks are taken as they are now: a laptop that moved to
// another network lets that network's tablets in.
bool AllowList::allows(std::uint32_t address) const {
    if (m_Any) return true;
    const std::uint32_t host = ntohl(address);
    for (const Range& range : m_Ranges) {
        if (inRange(host, range)) return true;
    }
    if (!m_Subnets || !m_SubnetSource) return false;
    for (const Range& range : m_SubnetSource()) {
        if (inRange(host, range)) return true;
    }
    return false;
}

std::string AllowList::written(const Range& range) {
    in_addr address{htonl(range.network & maskOf(range.bits))};
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, dotted, sizeof dotted);
    return std::string(dotted) + "/" + std::to_string(range.bits);
}

std::string AllowList::text() const {
    std::string text = m_Any ? "any" : "";
    for (const Range& range : m_Ranges) text += (text.empty() ? "" : ",") + written(range);
    if (m_Subnets) text += (text.empty() ? "" : ",") + std::string(kSubnets);
    return text;
}

std::string AllowList::describe() const {
    if (!m_Subnets || !m_SubnetSource) return text();
    std::string now;
    for (const Range& range : m_SubnetSource()) now += (now.empty() ? "" : ", ") + written(range);
    return text() + (now.empty() ? " (none now)" : " (now " + now + ")");
}

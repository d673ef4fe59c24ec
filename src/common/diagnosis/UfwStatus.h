#pragma once

#include "CheckFacts.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Reads what "ufw status verbose" prints (in the C locale) as ufw decides:
// the incoming rules in order, the first one that matches a port deciding
// for it (ALLOW and LIMIT let it in, DENY and REJECT keep it out), else the
// default incoming policy. Outgoing and routed rules do not concern tablets;
// rows marked (v6) neither, since the tablets reach the server over IPv4.
//
// A rule that matches only some tablets (from a given address, to one of
// this computer's addresses, on one interface) does not decide for all of
// them: when it would decide otherwise than the rule or policy that decides
// for the rest, the answer is "could not tell", with that rule named.
struct UfwQuestion {
    struct Port {
        std::uint16_t number = 0;
        std::string protocol;  // "tcp" or "udp"
    };
    std::uint16_t port = 0;        // the TCP port the tablets connect to
    std::string profile;           // the package's application profile ("corviLane")
    std::vector<Port> profilePorts;  // the ports that profile opens
    // ufw's before.rules (which run ahead of every rule) accept multicast
    // mDNS, as Debian's stock rules do.
    bool mdnsAdmitted = false;
};

struct UfwAnswer {
    Known active = Known::Unknown;
    Known port = Known::Unknown;  // whether the TCP port is let in
    Known mdns = Known::Unknown;  // whether mDNS (UDP 5353) is let in
    bool deniedByRule = false;    // a rule, not the default policy, keeps one of them out
    std::string why;              // what decided, or why it could not be told
};

UfwAnswer readUfwStatus(std::string_view output, const UfwQuestion& question);

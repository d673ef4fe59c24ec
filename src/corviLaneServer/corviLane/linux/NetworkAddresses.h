#pragma once

#include "Platform.h"

#include <string>
#include <vector>

// This computer's IPv4 addresses that a tablet could connect to: those of the
// interfaces that are up and running, loopback left out, in the system's
// order.
class NetworkAddresses {
public:
    struct Entry {
        std::string interface;
        std::string address;  // dotted
        bool wireless = false;
    };

    static std::vector<Entry> list();
    // The networks of the interfaces that are up, loopback left out; none
    // wider than a /8, so that no odd netmask opens every address.
    static std::vector<Ipv4Subnet> subnets();
};

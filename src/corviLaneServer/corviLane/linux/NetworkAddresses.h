#pragma once

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
};

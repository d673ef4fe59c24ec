#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the probes of "corvilane-server --check" found out about this
// computer; the diagnosis decides from these alone.
enum class Known { Yes, No, Unknown };

struct CheckFacts {
    // The corviLane of this user, as its lock says and as it answered a
    // tablet's "/server/ping" on its Wi-Fi port.
    struct Server {
        bool running = false;
        int pid = 0;
        std::uint16_t port = 0;    // 0: not known yet
        std::uint16_t wanted = 0;  // the port its settings asked for
        bool answered = false;
        int scriptVersion = 0;
        bool scriptAvailable = false;
        bool liveRunning = false;
    };
    // This computer's entries among the advertised corviLane services.
    struct Advertising {
        Known daemon = Known::Unknown;     // whether avahi-daemon runs
        std::string error;                 // why it could not be told
        std::string name;                  // the name this computer is advertised under
        std::vector<std::uint16_t> ports;  // the ports its entries carry
    };
    struct Address {
        std::string interface;
        std::string address;
        bool wireless = false;
    };
    struct Firewall {
        std::string name;  // "ufw", "firewalld"
        Known active = Known::Unknown;
        Known allows = Known::Unknown;  // the server's port and mDNS
    };
    struct Live {
        std::string path;
        bool scriptInstalled = false;
    };

    Server server;
    Advertising advertising;
    std::vector<Address> addresses;     // the up interfaces' IPv4 addresses, loopback left out
    std::vector<Firewall> firewalls;    // those installed
    Known usbmuxd = Known::Unknown;     // whether the usbmux daemon answers
    std::string midi;                   // the MIDI system of the sources; empty: none
    std::vector<Live> lives;            // the copies of Live the installer finds
    std::string liveFolders;            // where it looked
    std::uint16_t defaultPort = 0;      // the port the firewall profiles open
};

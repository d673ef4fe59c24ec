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
        std::string log;          // its log file, as its lock says; empty: not said
        std::string activeUnit;   // the user service running now ("corvilane.service"); empty: none
        std::string enabledUnit;  // the user service enabled; empty: none
    };
    // This computer's entries among the advertised corviLane services.
    struct Advertising {
        Known daemon = Known::Unknown;     // whether avahi-daemon runs
        bool installed = true;             // whether avahi-daemon is installed
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
        Known port = Known::Unknown;    // the server's port alone
        Known mdns = Known::Unknown;    // mDNS alone
        bool deniedByRule = false;      // a rule keeps them out, not the default policy
        std::string why;                // what decided, or why it could not be told
    };
    // Who holds a port this computer's corviLane needs.
    struct PortHolder {
        Known busy = Known::Unknown;
        int pid = 0;          // 0: not found (a process of another user)
        std::string program;  // its command name
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
    bool usbmuxdInstalled = true;
    PortHolder scriptUdp;               // UDP port 9111, where the Live script reports
    std::string midi;                   // the MIDI system of the sources; empty: none
    bool midiTold = true;               // false: the MIDI systems did not answer in time
    std::vector<Live> lives;            // the copies of Live the installer finds
    std::string liveFolders;            // where it looked
    bool livesTold = true;              // false: the search did not end in time
    std::uint16_t defaultPort = 0;      // the port the firewall profiles open
    std::string allowed;                // who may open a Wi-Fi session, as the server's settings say
    std::vector<std::string> tablets;   // the running server's tablets, one line each
};

#pragma once

#include <cstdint>
#include <string>

// Advertises the server on the local network by DNS-SD. The advertisement
// lasts until the server stops and survives restarts of the platform's
// discovery daemon; a daemon that is not running is logged, not fatal.
class DnsSdService {
public:
    // Advertises `name` of `type` on `port` (host byte order). A later call
    // replaces the advertised name, type and port.
    static void advertise(const std::string& name, const std::string& type, std::uint16_t port);

    // Takes the advertisement back and ends its background thread, so that
    // nothing of it runs once the server has stopped.
    static void withdraw();
};

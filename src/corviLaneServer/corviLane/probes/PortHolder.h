#pragma once

#include "CheckFacts.h"

#include <cstdint>
#include <string_view>
#include <vector>

// Who holds a local UDP port: the sockets bound to it in /proc/net/udp and
// /proc/net/udp6, each found among the descriptors in /proc/PID/fd and named
// by its process (only the user's own processes can be looked into without
// root: a socket of another user's reads as held by pid 0).
CheckFacts::PortHolder udpPortHolder(std::uint16_t port);

// The inodes of the sockets bound to `port` in one such table.
std::vector<unsigned long> socketInodes(std::string_view table, std::uint16_t port);

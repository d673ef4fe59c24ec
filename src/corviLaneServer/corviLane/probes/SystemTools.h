#pragma once

#include "CheckFacts.h"
#include "ProgramRun.h"

#include <cstdint>
#include <string>
#include <vector>

// What the system's tools tell the check, all asked at once under one
// deadline: ufw ("ufw status verbose", root only) and firewalld
// (firewall-cmd) of the tablets' TCP port and mDNS, and systemctl of the
// user services that run corviLane. A tool that does not answer by the
// deadline is killed, and what it would have told is "could not tell".
struct SystemTools {
    std::vector<CheckFacts::Firewall> firewalls;  // those installed
    std::string activeUnit;                      // "corvilane.service" or "corvilane-server.service"
    std::string enabledUnit;

    static SystemTools ask(std::uint16_t port, std::uint16_t defaultPort, ProgramRun::Deadline deadline);
};

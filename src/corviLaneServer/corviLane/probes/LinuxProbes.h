#pragma once

#include "CheckFacts.h"

#include <chrono>

// Finds out, on this computer, what "corvilane-server --check" decides from:
// asks this user's corviLane on its port, browses DNS-SD through Avahi, lists
// the network addresses, asks ufw, firewalld and the user services, knocks at
// usbmuxd, looks who holds UDP port 9111, tries the MIDI systems and looks
// for Live as the installer does. Needs no root (what only root may read
// stays unknown).
class LinuxProbes {
public:
    // Every probe runs at once; the whole takes at most kTime. A probe that has
    // not ended by then counts as "could not tell", and `allEnded` is false.
    static constexpr std::chrono::milliseconds kTime{4000};
    static CheckFacts gather(bool& allEnded);
};

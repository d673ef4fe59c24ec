#pragma once

#include "CheckFacts.h"

// Finds out, on this computer, what "corvilane-server --check" decides from:
// asks this user's corviLane on its port, browses DNS-SD through Avahi, lists
// the network addresses, asks ufw and firewalld, knocks at usbmuxd, tries
// the MIDI systems and looks for Live as the installer does. Takes a few
// seconds at most; needs no root (what only root may read stays unknown).
class LinuxProbes {
public:
    static CheckFacts gather();
};

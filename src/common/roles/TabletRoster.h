#pragma once

#include "RelayTypes.h"

#include <vector>

// Who is connected: counts for the tablets' state replies and the menu.
class TabletRoster {
public:
    virtual ~TabletRoster() = default;
    virtual SessionCounts counts() = 0;
    // The tablets that confirmed their sessions, Wi-Fi first.
    virtual std::vector<TabletStatus> tablets() = 0;
};

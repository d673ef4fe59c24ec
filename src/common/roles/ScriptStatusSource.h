#pragma once

#include "RelayTypes.h"

// What the tablets are told of the Live script and of Live.
class ScriptStatusSource {
public:
    virtual ~ScriptStatusSource() = default;
    virtual ScriptStatus scriptStatus() = 0;
    // Whether Live runs on this computer (the process table, read at most once a second).
    virtual bool liveRunning() = 0;
};

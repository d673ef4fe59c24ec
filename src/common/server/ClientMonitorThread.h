#pragma once

#include "Thread.h"

// Every 200 ms: pings the Live script, and pings every confirmed tablet and
// drops those that stopped answering.
class ClientMonitorThread : public CThread {
public:
    void Work() override;
};

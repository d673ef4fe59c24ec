#pragma once

#include "Thread.h"

class ServerLinks;

// Every 200 ms: pings the Live script, and pings every confirmed tablet and
// drops those that stopped answering.
class ClientMonitorThread : public CThread {
public:
    explicit ClientMonitorThread(ServerLinks& links) : m_Links(links) {}
    void Work() override;

private:
    ServerLinks& m_Links;
};

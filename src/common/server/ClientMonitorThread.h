#pragma once

#include "Monitored.h"
#include "Thread.h"

// Every 200 ms: pings the Live script, and pings every confirmed tablet and
// drops those that stopped answering.
class ClientMonitorThread : public CThread {
public:
    ClientMonitorThread(Monitored& script, Monitored& tablets) : m_Script(script), m_Tablets(tablets) {}
    void Work() override;

private:
    Monitored& m_Script;
    Monitored& m_Tablets;
};

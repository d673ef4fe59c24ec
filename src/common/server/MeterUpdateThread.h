#pragma once

#include "Thread.h"

#include <atomic>

class ServerLinks;

// Sends the MIDI tick F0 02 F7 to the Live script every 15 ms, which drives
// the script's meter updates; studio mode silences it (and the script
// connection's cues).
class MeterUpdateThread : public CThread {
public:
    explicit MeterUpdateThread(ServerLinks& links) : m_Links(links) {}
    void Work() override;

    // Written by the menu, read by this thread and the script connection.
    std::atomic<bool> b_StudioMode{false};

private:
    ServerLinks& m_Links;
};

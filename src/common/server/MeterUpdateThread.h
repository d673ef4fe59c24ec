#pragma once

#include "Cues.h"
#include "Thread.h"

// Sends the MIDI tick F0 02 F7 to the Live script every 15 ms, which drives
// the script's meter updates; studio mode silences it, as it silences the
// script connection's cues.
class MeterUpdateThread : public CThread {
public:
    explicit MeterUpdateThread(Cues& cues) : m_Cues(cues) {}
    void Work() override;

private:
    Cues& m_Cues;
};

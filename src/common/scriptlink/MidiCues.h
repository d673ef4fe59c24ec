#pragma once

#include "Cues.h"

#include <atomic>

// The MIDI side on the server's MIDI port: the tablets' MIDI for Live, and
// the cues to the Live script, which studio mode silences.
class MidiCues final : public Cues {
public:
    void tabletMidi(const unsigned char* bytes, int count) override;
    void cueScript(unsigned char data) override;
    bool midiReady() override;
    bool studioMode() const override { return b_StudioMode; }
    void setStudioMode(bool on) override { b_StudioMode = on; }

private:
    // Written by the menu, read by the meter thread and the script connection.
    std::atomic<bool> b_StudioMode{false};
};

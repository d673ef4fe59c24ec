#pragma once

// The MIDI side: the tablets' MIDI for Live, and the cues that tell the Live
// script a frame waits (studio mode silences the cues).
class Cues {
public:
    virtual ~Cues() = default;
    // A tablet's MIDI message, on the source Live reads as the tablets' input.
    virtual void tabletMidi(const unsigned char* bytes, int count) = 0;
    // The cue F0 `data` F7 to the Live script, unless studio mode is on.
    virtual void cueScript(unsigned char data) = 0;
    // Whether the MIDI sources are published.
    virtual bool midiReady() = 0;
    virtual bool studioMode() const = 0;
    virtual void setStudioMode(bool on) = 0;
};

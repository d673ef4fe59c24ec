#include "MidiCues.h"

#include "MidiPort.h"

void MidiCues::tabletMidi(const unsigned char* bytes, int count) {
    MidiPort::getInstance()->SendCommand(bytes, count, false);
}

void MidiCues::cueScript(unsigned char data) {
    if (!b_StudioMode) MidiPort::getInstance()->SendScriptCue(data);
}

bool MidiCues::midiReady() { return MidiPort::getInstance()->isReady(); }

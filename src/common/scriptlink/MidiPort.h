#pragma once

#include "Platform.h"

#include <atomic>
#include <memory>

// The server's two virtual MIDI sources of the client "MIDI Client":
// "corviLane" carries the tablets' MIDI messages to Live, "corviLane Script
// Input" the server's cues to the Live script. Without a MIDI system the port
// is not ready and every send is dropped.
class MidiPort {
public:
    // Makes the instance with the sources of `system` (none: no MIDI) unless
    // there is one already: exactly once, even when several threads ask at
    // the same time. Returns the instance.
    static MidiPort* create(MidiSystem* system);
    // The instance; one without MIDI when none was made.
    static MidiPort* getInstance();
    // Closes both sources and the client and clears the instance. Called once
    // nothing sends any more.
    static void Cleanup();

    // Delivers `length` bytes as one MIDI message: on the script source when
    // `script` is true, else on the app source. Does nothing when not ready.
    void SendCommand(const unsigned char* bytes, int length, bool script);
    // The three-byte system-exclusive cue F0 `data` F7 on the script source.
    void SendScriptCue(unsigned char data);

    bool isReady() const { return m_Ready; }

    // The singleton; owned through this pointer and released by Cleanup.
    static std::atomic<MidiPort*> _instance;

private:
    explicit MidiPort(MidiSystem* system);

    std::unique_ptr<VirtualMidiSource> m_AppSource;
    std::unique_ptr<VirtualMidiSource> m_ScriptSource;
    bool m_Ready = false;
};

#pragma once

#include "Platform.h"

#include <memory>
#include <mutex>
#include <string>

class RtMidiOut;

// A virtual MIDI source published through RtMidi: on ALSA's sequencer, or on
// JACK where ALSA is not available.
class RtMidiSource final : public VirtualMidiSource {
public:
    ~RtMidiSource() override;

    // Whether a MIDI system can host a client named `clientName`: 0 when one
    // can, -1 when none can.
    static int probeClient(const std::string& clientName);
    // The published source, or null when no MIDI system takes it.
    static std::unique_ptr<RtMidiSource> open(const std::string& clientName, const std::string& portName);

    void send(const unsigned char* bytes, std::size_t length) override;

private:
    explicit RtMidiSource(std::unique_ptr<RtMidiOut> port);

    std::unique_ptr<RtMidiOut> m_Port;
    std::mutex m_Lock;  // the MIDI library is not safe for concurrent sends on one port
};

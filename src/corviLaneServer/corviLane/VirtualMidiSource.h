#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

class RtMidiOut;

// One virtual MIDI output that other applications (Live) see as a MIDI
// input, published through the platform's MIDI system: ALSA's sequencer, or
// JACK where ALSA is not available.
class VirtualMidiSource {
public:
    VirtualMidiSource();
    ~VirtualMidiSource();
    VirtualMidiSource(const VirtualMidiSource&) = delete;
    VirtualMidiSource& operator=(const VirtualMidiSource&) = delete;

    // Whether a MIDI system can host a client named `clientName`; 0 when one
    // can, -1 when none can.
    static int probeClient(const std::string& clientName);

    // Publishes the source; 0 on success, -1 on failure.
    int open(const std::string& clientName, const std::string& portName);

    // Delivers one MIDI message; safe to call from several threads at once.
    void send(const unsigned char* bytes, std::size_t length);

private:
    std::unique_ptr<RtMidiOut> m_Port;
    std::mutex m_Lock;  // the MIDI library is not safe for concurrent sends on one port
};

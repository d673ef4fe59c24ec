#pragma once

#include "Platform.h"

#include <memory>
#include <string>
#include <thread>

class RtMidiOut;

// A virtual MIDI source published through RtMidi: on ALSA's sequencer, or on
// JACK where ALSA is not available. Messages are handed to a thread of the
// source's own, because the MIDI library may wait for ever (a JACK server
// that stopped taking messages): a wedged MIDI system costs MIDI, never the
// relay.
class RtMidiSource final : public VirtualMidiSource {
public:
    ~RtMidiSource() override;

    // The MIDI system a client named `clientName` would be on ("the ALSA
    // sequencer", "JACK"); empty when none takes it.
    static std::string systemName(const std::string& clientName);
    // The published source named `portName`, on a client of its own named by
    // clientNameFor; null when no MIDI system takes it.
    static std::unique_ptr<RtMidiSource> open(const std::string& portName);
    static std::string clientNameFor(const std::string& portName);

    // Queues the message for the source's thread; never waits. Messages
    // beyond what the thread can take are dropped.
    void send(const unsigned char* bytes, std::size_t length) override;

    // The MIDI system it is published on ("the ALSA sequencer", "JACK").
    const std::string& system() const { return m_System; }

private:
    struct Channel;

    explicit RtMidiSource(std::unique_ptr<RtMidiOut> port);
    static void deliver(const std::shared_ptr<Channel>& channel);

    std::shared_ptr<Channel> m_Channel;  // shared with the thread, which may outlive the source
    std::thread m_Sender;
    std::string m_System;
};

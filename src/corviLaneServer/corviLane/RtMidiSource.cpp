#include "RtMidiSource.h"

#include <rtmidi/RtMidi.h>

#include <cstdlib>

namespace {

// ALSA first; JACK when ALSA is absent (no sound hardware, for instance).
constexpr RtMidi::Api kApis[] = {RtMidi::LINUX_ALSA, RtMidi::UNIX_JACK};

std::unique_ptr<RtMidiOut> openPort(const std::string& clientName, const std::string* portName) {
    // A background service must not start a JACK server of its own.
    setenv("JACK_NO_START_SERVER", "1", 0);
    for (RtMidi::Api api : kApis) {
        try {
            auto port = std::make_unique<RtMidiOut>(api, clientName);
            if (portName != nullptr) port->openVirtualPort(*portName);
            return port;
        } catch (const RtMidiError&) {
            // try the next MIDI system
        }
    }
    return nullptr;
}

}  // namespace

RtMidiSource::RtMidiSource(std::unique_ptr<RtMidiOut> port) : m_Port(std::move(port)) {}

RtMidiSource::~RtMidiSource() = default;

int RtMidiSource::probeClient(const std::string& clientName) { return openPort(clientName, nullptr) ? 0 : -1; }

std::unique_ptr<RtMidiSource> RtMidiSource::open(const std::string& clientName, const std::string& portName) {
    auto port = openPort(clientName, &portName);
    if (!port) return nullptr;
    return std::unique_ptr<RtMidiSource>(new RtMidiSource(std::move(port)));
}

void RtMidiSource::send(const unsigned char* bytes, std::size_t length) {
    std::lock_guard<std::mutex> lock(m_Lock);
    try {
        m_Port->sendMessage(bytes, length);
    } catch (const RtMidiError&) {
        // a lost MIDI system drops the message, as a closed socket would
    }
}

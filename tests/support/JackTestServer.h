#pragma once

#include "ChildProcess.h"

#include <jack/jack.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A JACK server with the dummy driver, private to one test process: started
// under a name of its own and made the default for this process, so that the
// MIDI port's JACK clients and the capture below meet there.
class JackTestServer {
public:
    JackTestServer();
    ~JackTestServer();
    bool running() const { return m_Ready; }
    static bool available();

private:
    std::string m_Name;
    std::unique_ptr<ChildProcess> m_Server;
    bool m_Ready = false;
};

// Records every MIDI message that arrives from one JACK MIDI output port.
class MidiCapture {
public:
    struct Event {
        std::vector<unsigned char> bytes;
        std::chrono::steady_clock::time_point at;
    };

    explicit MidiCapture(const std::string& sourcePort);
    ~MidiCapture();
    bool connected() const { return m_Connected; }

    std::vector<Event> events();
    // The events whose bytes equal `bytes`.
    std::size_t count(const std::vector<unsigned char>& bytes);
    void clear();

private:
    static int process(jack_nframes_t frames, void* self);

    jack_client_t* m_Client = nullptr;
    jack_port_t* m_Input = nullptr;
    bool m_Connected = false;
    std::mutex m_Mutex;
    std::vector<Event> m_Events;
};

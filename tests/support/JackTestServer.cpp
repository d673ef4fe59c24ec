#include "JackTestServer.h"

#include <jack/midiport.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr const char* kJackd = "/usr/bin/jackd";

bool serverAnswers() {
    jack_status_t status{};
    jack_client_t* probe = jack_client_open("corvilane-probe", JackNoStartServer, &status);
    if (probe == nullptr) return false;
    jack_client_close(probe);
    return true;
}

}  // namespace

bool JackTestServer::available() { return access(kJackd, X_OK) == 0; }

JackTestServer::JackTestServer() : m_Name("corvilane-test-" + std::to_string(getpid())) {
    if (!available()) return;
    setenv("JACK_DEFAULT_SERVER", m_Name.c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    m_Server = std::make_unique<ChildProcess>(ChildProcess::Options{
        .args = {kJackd, "--no-realtime", "-n", m_Name, "-d", "dummy", "-r", "48000", "-p", "256"},
        .stderrPath = "/dev/null"});
    m_Ready = waitUntil(serverAnswers, 10s);
}

JackTestServer::~JackTestServer() {
    if (m_Server) {
        m_Server->signal(SIGTERM);
        m_Server->wait(5s);
    }
}

MidiCapture::MidiCapture(const std::string& sourcePort) {
    jack_status_t status{};
    m_Client = jack_client_open("corvilane-capture", JackNoStartServer, &status);
    if (m_Client == nullptr) return;
    m_Input = jack_port_register(m_Client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(m_Client, process, this);
    if (m_Input == nullptr || jack_activate(m_Client) != 0) return;
    const std::string input = std::string(jack_get_client_name(m_Client)) + ":in";
    m_Connected = jack_connect(m_Client, sourcePort.c_str(), input.c_str()) == 0;
}

MidiCapture::~MidiCapture() {
    if (m_Client != nullptr) {
        jack_deactivate(m_Client);
        jack_client_close(m_Client);
    }
}

int MidiCapture::process(jack_nframes_t frames, void* self) {
    auto* capture = static_cast<MidiCapture*>(self);
    void* buffer = jack_port_get_buffer(capture->m_Input, frames);
    const jack_nframes_t count = jack_midi_get_event_count(buffer);
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(capture->m_Mutex);
    for (jack_nframes_t i = 0; i < count; ++i) {
        jack_midi_event_t event{};
        if (jack_midi_event_get(&event, buffer, i) == 0) {
            capture->m_Events.push_back({std::vector<unsigned char>(event.buffer, event.buffer + event.size), now});
        }
    }
    return 0;
}

std::vector<MidiCapture::Event> MidiCapture::events() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Events;
}

std::size_t MidiCapture::count(const std::vector<unsigned char>& bytes) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::size_t matches = 0;
    for (const auto& event : m_Events) matches += event.bytes == bytes ? 1 : 0;
    return matches;
}

void MidiCapture::clear() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Events.clear();
}

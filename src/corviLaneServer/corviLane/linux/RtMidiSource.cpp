#include "RtMidiSource.h"

#include "Logger.h"
#include "ThreadMutex.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <rtmidi/RtMidi.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <deque>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <sstream>
#include <vector>

namespace {

// ALSA first; JACK when ALSA is absent (no sound hardware, for instance).
constexpr RtMidi::Api kApis[] = {RtMidi::LINUX_ALSA, RtMidi::UNIX_JACK};

// The MIDI libraries report their trouble on the terminal: screens of it on a
// computer without a MIDI system. It goes to the log instead, at debug level.
// ALSA's handler takes printf-style arguments: the attribute lets the compiler
// check the forwarding.
__attribute__((format(printf, 5, 6))) void alsaMessage(const char* file, int line, const char* function, int error,
                                                       const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    CLogger::debug("ALSA: %s (%s:%d %s, error %d)", text, file, line, function, error);
}

void jackMessage(const char* text) { CLogger::debug("JACK: %s", text); }

void rtMidiMessage(RtMidiError::Type, const std::string& text, void*) { CLogger::debug("RtMidi: %s", text.c_str()); }

void quietLibraries() {
    static std::once_flag once;
    std::call_once(once, [] {
        snd_lib_error_set_handler(alsaMessage);
        jack_set_error_function(jackMessage);
        jack_set_info_function(jackMessage);
        // A background service must not start a JACK server of its own.
        setenv("JACK_NO_START_SERVER", "1", 0);
    });
}

// RtMidi prints its warnings to the standard error stream while a port is
// being made, before an error callback can be given: they are caught there.
class CaughtWarnings {
public:
    CaughtWarnings() : m_Previous(std::cerr.rdbuf(m_Text.rdbuf())) {}
    ~CaughtWarnings() {
        std::cerr.rdbuf(m_Previous);
        std::string line;
        std::istringstream lines(m_Text.str());
        while (std::getline(lines, line)) {
            if (!line.empty()) CLogger::debug("RtMidi: %s", line.c_str());
        }
    }
    CaughtWarnings(const CaughtWarnings&) = delete;
    CaughtWarnings& operator=(const CaughtWarnings&) = delete;

private:
    std::ostringstream m_Text;
    std::streambuf* m_Previous;
};

CThreadMutex& creation() {
    static CThreadMutex lock;
    return lock;
}

// RtMidi makes a JACK client without asking whether a JACK server runs; a
// probe asks the server itself.
bool jackServerAnswers(const std::string& clientName) {
    jack_status_t status{};
    jack_client_t* client = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
    if (client == nullptr) return false;
    jack_client_close(client);
    return true;
}

std::unique_ptr<RtMidiOut> openPort(const std::string& clientName, const std::string* portName,
                                    RtMidi::Api* used = nullptr) {
    quietLibraries();
    std::lock_guard<CThreadMutex> lock(creation());
    CaughtWarnings warnings;
    for (RtMidi::Api api : kApis) {
        try {
            if (portName == nullptr && api == RtMidi::UNIX_JACK && !jackServerAnswers(clientName)) continue;
            auto port = std::make_unique<RtMidiOut>(api, clientName);
            if (used != nullptr) *used = api;
            if (portName != nullptr) port->openVirtualPort(*portName);
            // Only now: with a callback, RtMidi reports a failed open there
            // instead of throwing, and the port would look open.
            port->setErrorCallback(rtMidiMessage, nullptr);
            return port;
        } catch (const RtMidiError& error) {
            CLogger::debug("RtMidi: %s", error.getMessage().c_str());  // try the next MIDI system
        }
    }
    return nullptr;
}

const char* systemOf(RtMidi::Api api) { return api == RtMidi::LINUX_ALSA ? "the ALSA sequencer" : "JACK"; }

}  // namespace

// What the source and its thread share.
struct RtMidiSource::Channel {
    std::unique_ptr<RtMidiOut> port;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::vector<unsigned char>> waiting;
    bool stopping = false;
    bool finished = false;
};

namespace {

// Messages waiting for the MIDI system: cues every 15 ms and tablets'
// notes; more than this means the MIDI system has stopped taking them.
constexpr std::size_t kMaxWaiting = 256;
constexpr auto kStopWait = std::chrono::seconds(1);

}  // namespace

RtMidiSource::RtMidiSource(std::unique_ptr<RtMidiOut> port) : m_Channel(std::make_shared<Channel>()) {
    m_Channel->port = std::move(port);
    m_Sender = std::thread(deliver, m_Channel);
}

// The thread normally ends at once. One that the MIDI library holds is left
// behind with everything it uses, rather than stopping the server's stop.
RtMidiSource::~RtMidiSource() {
    std::unique_lock<std::mutex> lock(m_Channel->lock);
    m_Channel->stopping = true;
    m_Channel->changed.notify_all();
    if (m_Channel->changed.wait_for(lock, kStopWait, [this] { return m_Channel->finished; })) {
        lock.unlock();
        m_Sender.join();
        return;
    }
    lock.unlock();
    CLogger::error("MIDI: the MIDI system stopped taking messages; leaving it behind");
    m_Sender.detach();
}

std::string RtMidiSource::systemName(const std::string& clientName) {
    RtMidi::Api api = RtMidi::UNSPECIFIED;
    if (!openPort(clientName, nullptr, &api)) return {};
    return systemOf(api);
}

// The library makes one MIDI client for each source, so each client is named
// for its source ("corviLane", "corviLane Script" for "corviLane Script
// Input"): a patchbay then shows which is which, where one generic name
// would appear twice.
std::string RtMidiSource::clientNameFor(const std::string& portName) {
    const std::string input = " Input";
    if (portName.size() > input.size() && portName.compare(portName.size() - input.size(), input.size(), input) == 0) {
        return portName.substr(0, portName.size() - input.size());
    }
    return portName;
}

std::unique_ptr<RtMidiSource> RtMidiSource::open(const std::string& portName) {
    RtMidi::Api api = RtMidi::UNSPECIFIED;
    auto port = openPort(clientNameFor(portName), &portName, &api);
    if (!port) return nullptr;
    CLogger::info("MIDI: source \"%s\" published on %s, client \"%s\"", portName.c_str(), systemOf(api),
                  clientNameFor(portName).c_str());
    std::unique_ptr<RtMidiSource> source(new RtMidiSource(std::move(port)));
    source->m_System = systemOf(api);
    return source;
}

void RtMidiSource::send(const unsigned char* bytes, std::size_t length) {
    {
        std::lock_guard<std::mutex> lock(m_Channel->lock);
        if (m_Channel->waiting.size() >= kMaxWaiting) return;
        m_Channel->waiting.emplace_back(bytes, bytes + length);
    }
    m_Channel->changed.notify_all();
}

void RtMidiSource::deliver(const std::shared_ptr<Channel>& channel) {
    std::unique_lock<std::mutex> lock(channel->lock);
    while (true) {
        channel->changed.wait(lock, [&] { return channel->stopping || !channel->waiting.empty(); });
        if (channel->stopping) break;
        const std::vector<unsigned char> message = std::move(channel->waiting.front());
        channel->waiting.pop_front();
        lock.unlock();
        try {
            channel->port->sendMessage(message.data(), message.size());
        } catch (const RtMidiError&) {
            // a lost MIDI system drops the message, as a closed socket would
        }
        lock.lock();
    }
    channel->finished = true;
    channel->changed.notify_all();
}

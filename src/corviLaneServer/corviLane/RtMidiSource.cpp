#include "RtMidiSource.h"

#include "Logger.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <rtmidi/RtMidi.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <sstream>

namespace {

// ALSA first; JACK when ALSA is absent (no sound hardware, for instance).
constexpr RtMidi::Api kApis[] = {RtMidi::LINUX_ALSA, RtMidi::UNIX_JACK};

// The MIDI libraries report their trouble on the terminal: screens of it on a
// computer without a MIDI system. It goes to the log instead, at debug level.
void alsaMessage(const char* file, int line, const char* function, int error, const char* format, ...) {
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

std::mutex& creation() {
    static std::mutex lock;
    return lock;
}

std::unique_ptr<RtMidiOut> openPort(const std::string& clientName, const std::string* portName) {
    quietLibraries();
    std::lock_guard<std::mutex> lock(creation());
    CaughtWarnings warnings;
    for (RtMidi::Api api : kApis) {
        try {
            auto port = std::make_unique<RtMidiOut>(api, clientName);
            port->setErrorCallback(rtMidiMessage, nullptr);
            if (portName != nullptr) port->openVirtualPort(*portName);
            return port;
        } catch (const RtMidiError& error) {
            CLogger::debug("RtMidi: %s", error.getMessage().c_str());  // try the next MIDI system
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

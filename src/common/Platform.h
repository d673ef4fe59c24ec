#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class UsbDeviceLibrary;
class WaveformAnalyzer;

// One virtual MIDI output that other applications (Live) see as a MIDI input.
class VirtualMidiSource {
public:
    virtual ~VirtualMidiSource() = default;
    // Delivers one MIDI message; safe to call from several threads at once.
    virtual void send(const unsigned char* bytes, std::size_t length) = 0;
};

// Advertises the server on the local network by DNS-SD.
class DnsSdAdvertiser {
public:
    virtual ~DnsSdAdvertiser() = default;
    // Advertises `name` of `type` on `port` (host byte order); a later call
    // replaces what is advertised.
    virtual void advertise(const std::string& name, const std::string& type, std::uint16_t port) = 0;
    // Takes the advertisement back; nothing of it runs afterwards.
    virtual void withdraw() = 0;
};

// Tells whether Ableton Live is running on this computer.
class LiveChecker {
public:
    virtual ~LiveChecker() = default;
    virtual bool live_is_running() = 0;
};

// The operating system's pieces the server runs on: MIDI, service discovery,
// the process table, the audio decoders and USB. The server's entry installs the
// production platform before it starts the server; without one the server
// runs with none of them (no MIDI, no advertisement, Live never seen, no
// audio files, no USB).
class Platform {
public:
    virtual ~Platform() = default;

    // 0 when the MIDI system can host a client of this name, else non-zero.
    virtual int createMidiClient(const std::string& clientName) = 0;
    // A published virtual source of that client, or null when none can be made.
    virtual std::unique_ptr<VirtualMidiSource> createMidiSource(const std::string& clientName,
                                                                const std::string& sourceName) = 0;
    virtual DnsSdAdvertiser& dnsSd() = 0;
    virtual std::unique_ptr<LiveChecker> makeLiveChecker() = 0;
    // Null when the platform decodes no audio.
    virtual std::unique_ptr<WaveformAnalyzer> makeAnalyzer() = 0;
    // The tablets attached by cable.
    virtual UsbDeviceLibrary& usbDevices() = 0;
    // The computer's name as the tablets are told it.
    virtual std::string computerName() = 0;

    // Installs the platform the server uses from then on; null puts back the
    // one that has nothing. Called before the server starts.
    static void install(Platform* platform);
    static Platform& current();
};

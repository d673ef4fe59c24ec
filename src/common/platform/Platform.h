#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class UsbDeviceLibrary;
class WaveformAnalyzer;

// An IPv4 network: its address and prefix length, in host byte order.
struct Ipv4Subnet {
    std::uint32_t network = 0;
    int bits = 32;
};

// One virtual MIDI output that other applications (Live) see as a MIDI input.
class VirtualMidiSource {
public:
    virtual ~VirtualMidiSource() = default;
    // Delivers one MIDI message; safe to call from several threads at once.
    virtual void send(const unsigned char* bytes, std::size_t length) = 0;
};

// The platform's MIDI system, which hosts the server's client and its sources.
class MidiSystem {
public:
    virtual ~MidiSystem() = default;
    // A published virtual source of the client `clientName`, which exists
    // once its first source does; null when none can be made.
    virtual std::unique_ptr<VirtualMidiSource> createMidiSource(const std::string& clientName,
                                                                const std::string& sourceName) = 0;
};

// The DNS-SD service type the tablets browse for.
inline constexpr const char* kDnsSdServiceType = "_corvilane._udp";

// Advertises the server on the local network by DNS-SD.
class DnsSdAdvertiser {
public:
    virtual ~DnsSdAdvertiser() = default;
    // Advertises `name` of `type` on `port` (host byte order); a later call
    // replaces what is advertised.
    virtual void advertise(const std::string& name, const std::string& type, std::uint16_t port) = 0;
    // Takes the advertisement back; nothing of it runs afterwards.
    virtual void withdraw() = 0;
    // What the advertisement is doing, for the musician: "advertised as
    // \"NAME\"", or "not advertised: " and why.
    virtual std::string status() const = 0;
};

// Tells whether Ableton Live is running on this computer.
class LiveChecker {
public:
    virtual ~LiveChecker() = default;
    virtual bool live_is_running() = 0;
};

// The operating system's pieces the server runs on, handed to startThreads.
// Each may be missing: the server then runs without it (no MIDI sources, no
// advertisement, Live never seen running, no audio files, no tablets by cable).
struct Platform {
    MidiSystem* midi = nullptr;
    DnsSdAdvertiser* dnsSd = nullptr;
    std::function<std::unique_ptr<LiveChecker>()> makeLiveChecker;
    std::function<std::unique_ptr<WaveformAnalyzer>()> makeAnalyzer;
    UsbDeviceLibrary* usb = nullptr;
    // The networks of this computer's interfaces that are up, as they are now.
    std::function<std::vector<Ipv4Subnet>()> localSubnets;
    // The computer's name as the tablets are told it.
    std::string computerName;
};

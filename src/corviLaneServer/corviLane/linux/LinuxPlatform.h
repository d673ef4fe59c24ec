#pragma once

#include "DnsSdService.h"
#include "Platform.h"
#include "ServiceNotices.h"
#include "UsbmuxLibrary.h"

#include <mutex>

// The server's platform on Linux: RtMidi (ALSA or JACK) for the virtual MIDI
// sources, Avahi for DNS-SD, /proc for Live, libsndfile, the own WAV/AIFF
// decoder and FFmpeg for audio files, FFTW for the spectra, the usbmux daemon
// for the tablets attached by cable.
class LinuxPlatform final : public MidiSystem {
public:
    // The process's one instance.
    static LinuxPlatform& instance();

    // Its pieces, for startThreads.
    Platform platform();

    std::unique_ptr<VirtualMidiSource> createMidiSource(const std::string& clientName,
                                                        const std::string& sourceName) override;

    // What the platform knows of MIDI and USB, for the service's lines.
    void describe(ServiceNotices::State& state) const;

private:
    LinuxPlatform() = default;

    DnsSdService m_DnsSd;
    UsbmuxLibrary m_Usb;
    mutable std::mutex m_MidiLock;  // guards what follows
    bool m_MidiTried = false;
    bool m_MidiFailed = false;
    std::string m_MidiSystem;
};

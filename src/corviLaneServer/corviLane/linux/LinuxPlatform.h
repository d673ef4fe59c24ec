#pragma once

#include "DnsSdService.h"
#include "Platform.h"
#include "UsbMuxLibrary.h"

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

    int createMidiClient(const std::string& clientName) override;
    std::unique_ptr<VirtualMidiSource> createMidiSource(const std::string& clientName,
                                                        const std::string& sourceName) override;

private:
    LinuxPlatform() = default;

    DnsSdService m_DnsSd;
    UsbMuxLibrary m_Usb;
};

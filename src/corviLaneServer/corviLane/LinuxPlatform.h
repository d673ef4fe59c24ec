#pragma once

#include "DnsSdService.h"
#include "Platform.h"
#include "UsbMuxLibrary.h"

// The server's platform on Linux: RtMidi (ALSA or JACK) for the virtual MIDI
// sources, Avahi for DNS-SD, /proc for Live, libsndfile, the own WAV/AIFF
// decoder and FFmpeg for audio files, FFTW for the spectra, libusbmuxd for
// the tablets attached by cable.
class LinuxPlatform final : public Platform {
public:
    // The process's one instance.
    static LinuxPlatform& instance();

    int createMidiClient(const std::string& clientName) override;
    std::unique_ptr<VirtualMidiSource> createMidiSource(const std::string& clientName,
                                                        const std::string& sourceName) override;
    DnsSdAdvertiser& dnsSd() override { return m_DnsSd; }
    std::unique_ptr<LiveChecker> makeLiveChecker() override;
    std::unique_ptr<WaveformAnalyzer> makeAnalyzer() override;
    UsbDeviceLibrary& usbDevices() override { return m_Usb; }
    std::string computerName() override;

private:
    LinuxPlatform() = default;

    DnsSdService m_DnsSd;
    UsbMuxLibrary m_Usb;
};

#include "LinuxPlatform.h"

#include "FFT.h"
#include "LiveRunning.h"
#include "PlatformAudioReader.h"
#include "RtMidiSource.h"
#include "SndfileReader.h"
#include "WaveformAnalyzer.h"

#include <exception>

LinuxPlatform& LinuxPlatform::instance() {
    static LinuxPlatform platform;
    return platform;
}

int LinuxPlatform::createMidiClient(const std::string& clientName) { return RtMidiSource::probeClient(clientName); }

std::unique_ptr<VirtualMidiSource> LinuxPlatform::createMidiSource(const std::string& clientName,
                                                                   const std::string& sourceName) {
    return RtMidiSource::open(clientName, sourceName);
}

std::unique_ptr<LiveChecker> LinuxPlatform::makeLiveChecker() { return std::make_unique<LiveRunning>(); }

// libsndfile first, FFmpeg for what it does not open, FFTW for the spectra;
// without memory for them, no analyzer (the server runs on without waveforms).
std::unique_ptr<WaveformAnalyzer> LinuxPlatform::makeAnalyzer() {
    try {
        return std::make_unique<WaveformAnalyzer>(WaveformAnalyzer::Parts{.library = std::make_unique<SndfileReader>(),
                                                                          .platform = std::make_unique<PlatformAudioReader>(),
                                                                          .colour = std::make_unique<FFT>()});
    } catch (const std::exception&) {
        return nullptr;
    }
}

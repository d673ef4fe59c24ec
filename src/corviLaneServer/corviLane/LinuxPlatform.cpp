#include "LinuxPlatform.h"

#include "AppDelegate.h"
#include "FFT.h"
#include "LiveRunning.h"
#include "Logger.h"
#include "PlatformAudioReader.h"
#include "RtMidiSource.h"
#include "SndfileReader.h"
#include "WaveformAnalyzer.h"

#include <exception>

LinuxPlatform& LinuxPlatform::instance() {
    static LinuxPlatform platform;
    return platform;
}

namespace {

void explainMissingMidi() {
    CLogger::error("MIDI: neither an ALSA sequencer (/dev/snd/seq) nor a running JACK server is available, so "
                   "the MIDI sources \"corviLane\" and \"corviLane Script Input\" are not published. Load the "
                   "ALSA sequencer (modprobe snd-seq) or start a JACK server, then restart corviLane.");
}

}  // namespace

int LinuxPlatform::createMidiClient(const std::string& clientName) {
    const int result = RtMidiSource::probeClient(clientName);
    if (result != 0) explainMissingMidi();
    return result;
}

std::unique_ptr<VirtualMidiSource> LinuxPlatform::createMidiSource(const std::string& clientName,
                                                                   const std::string& sourceName) {
    auto source = RtMidiSource::open(clientName, sourceName);
    if (!source) explainMissingMidi();
    return source;
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

std::string LinuxPlatform::computerName() { return get_device_name(); }

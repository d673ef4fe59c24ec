#include "LinuxPlatform.h"

#include "LiveRunning.h"
#include "RtMidiSource.h"
#include "WaveformAnalyzer.h"

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

std::unique_ptr<WaveformAnalyzer> LinuxPlatform::makeAnalyzer() { return std::make_unique<WaveformAnalyzer>(); }

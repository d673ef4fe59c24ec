#include "LinuxPlatform.h"

#include "DeviceName.h"
#include "LinuxAudio.h"
#include "LiveRunning.h"
#include "Logger.h"
#include "NetworkAddresses.h"
#include "RtMidiSource.h"
#include "WaveformAnalyzer.h"


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

std::unique_ptr<VirtualMidiSource> LinuxPlatform::createMidiSource(const std::string&, const std::string& sourceName) {
    auto source = RtMidiSource::open(sourceName);
    if (!source) explainMissingMidi();
    return source;
}

Platform LinuxPlatform::platform() {
    return {.midi = this,
            .dnsSd = &m_DnsSd,
            .makeLiveChecker = [] { return std::make_unique<LiveRunning>(); },
            .makeAnalyzer = makeLinuxAnalyzer,
            .usb = &m_Usb,
            .localSubnets = &NetworkAddresses::subnets,
            .computerName = get_device_name()};
}

#include "LinuxPlatform.h"

#include "DeviceName.h"
#include "LinuxAnalyzer.h"
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

std::unique_ptr<VirtualMidiSource> LinuxPlatform::createMidiSource(const std::string&, const std::string& sourceName) {
    auto source = RtMidiSource::open(sourceName);
    if (!source) explainMissingMidi();
    std::lock_guard<std::mutex> lock(m_MidiLock);
    m_MidiTried = true;
    m_MidiFailed = m_MidiFailed || !source;
    if (source) m_MidiSystem = source->system();
    return source;
}

void LinuxPlatform::describe(ServiceNotices::State& state) const {
    {
        std::lock_guard<std::mutex> lock(m_MidiLock);
        state.midiTried = m_MidiTried;
        state.midiSystem = m_MidiFailed ? "" : m_MidiSystem;
    }
    switch (m_Usb.daemonState()) {
        case UsbmuxLibrary::Daemon::Answers: state.usbmuxd = ServiceNotices::Daemon::Running; break;
        case UsbmuxLibrary::Daemon::Absent: state.usbmuxd = ServiceNotices::Daemon::Absent; break;
        case UsbmuxLibrary::Daemon::Unknown: break;
    }
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

#include "MeterUpdateThread.h"

#include "MidiPort.h"

namespace {

constexpr auto kTickPeriod = std::chrono::milliseconds(15);
// Without a MIDI system there is nothing to tick on, and the port does not
// come back while it exists: look again only now and then.
constexpr auto kIdlePeriod = std::chrono::milliseconds(200);
constexpr unsigned char kMeterTick = 0x02;

}  // namespace

void MeterUpdateThread::Work() {
    while (isRunning()) {
        MidiPort* port = MidiPort::getInstance();
        if (!b_StudioMode) port->SendScriptCue(kMeterTick);
        sleepWhileRunning(port->isReady() ? kTickPeriod : kIdlePeriod);
    }
}

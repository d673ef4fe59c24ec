#include "MeterUpdateThread.h"

#include "Logger.h"
#include "MidiPort.h"

#include <exception>

namespace {

constexpr auto kTickPeriod = std::chrono::milliseconds(15);
// Without a MIDI system there is nothing to tick on, and the port does not
// come back while it exists: look again only now and then.
constexpr auto kIdlePeriod = std::chrono::milliseconds(200);
constexpr unsigned char kMeterTick = 0x02;

}  // namespace

void MeterUpdateThread::Work() {
    while (isRunning()) {
        bool ready = false;
        try {
            MidiPort* port = MidiPort::getInstance();
            if (!b_StudioMode) port->SendScriptCue(kMeterTick);
            ready = port->isReady();
        } catch (const std::exception& error) {
            CLogger::error("Meter tick failed: %s", error.what());
        }
        sleepWhileRunning(ready ? kTickPeriod : kIdlePeriod);
    }
}

#include "MeterUpdateThread.h"

#include "Logger.h"

#include <exception>

namespace {

constexpr auto kTickPeriod = std::chrono::milliseconds(15);
// Without a MIDI system there is nothing to tick on, and the sources do not
// come back while the server runs: look again only now and then.
constexpr auto kIdlePeriod = std::chrono::seconds(1);
constexpr unsigned char kMeterTick = 0x02;

}  // namespace

// The cue goes out unless studio mode is on.
void MeterUpdateThread::Work() {
    while (isRunning()) {
        bool ready = false;
        try {
            m_Cues.cueScript(kMeterTick);
            ready = m_Cues.midiReady();
        } catch (const std::exception& error) {
            CLogger::error("Meter tick failed: %s", error.what());
        }
        sleepWhileRunning(ready ? kTickPeriod : kIdlePeriod);
    }
}

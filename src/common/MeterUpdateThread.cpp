#include "MeterUpdateThread.h"

#include "MidiPort.h"

namespace {

constexpr auto kTickPeriod = std::chrono::milliseconds(15);
constexpr unsigned char kMeterTick = 0x02;

}  // namespace

void MeterUpdateThread::Work() {
    while (b_Running) {
        if (!b_StudioMode) MidiPort::getInstance()->SendScriptCue(kMeterTick);
        sleepWhileRunning(kTickPeriod);
    }
}

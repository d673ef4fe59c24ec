#include "ClientMonitorThread.h"

#include "LogBudget.h"
#include "Logger.h"

#include <exception>

namespace {

constexpr auto kPeriod = std::chrono::milliseconds(200);

}  // namespace

void ClientMonitorThread::Work() {
    while (isRunning()) {
        try {
            m_Script.Monitor();
            m_Tablets.Monitor();
            LogBudget::tellHeldBack();
        } catch (const std::exception& error) {
            CLogger::error("Liveness step failed: %s", error.what());
        }
        sleepWhileRunning(kPeriod);
    }
}

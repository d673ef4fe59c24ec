#include "ClientMonitorThread.h"

#include "AbletonClientTCP.h"
#include "IpadServerThread.h"
#include "Logger.h"
#include "UsbServerThread.h"
#include "corviLaneServer.h"

#include <exception>

namespace {

constexpr auto kPeriod = std::chrono::milliseconds(200);

}  // namespace

void ClientMonitorThread::Work() {
    while (isRunning()) {
        try {
            if (_abletonClientThread != nullptr) _abletonClientThread->Monitor();
            // Walks the session list under its lock (IpadServerThread::Monitor).
            if (_ipadSrvThread != nullptr) _ipadSrvThread->Monitor();
            if (_usbSrvThread != nullptr) _usbSrvThread->Monitor();
        } catch (const std::exception& error) {
            CLogger::error("Liveness step failed: %s", error.what());
        }
        sleepWhileRunning(kPeriod);
    }
}

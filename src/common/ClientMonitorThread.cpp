#include "ClientMonitorThread.h"

#include "AbletonClientTCP.h"
#include "IpadServerThread.h"
#include "corviLaneServer.h"

namespace {

constexpr auto kPeriod = std::chrono::milliseconds(200);

}  // namespace

void ClientMonitorThread::Work() {
    while (isRunning()) {
        if (_abletonClientThread != nullptr) _abletonClientThread->Monitor();
        // Walks the session list under its lock (IpadServerThread::Monitor).
        if (_ipadSrvThread != nullptr) _ipadSrvThread->Monitor();
        sleepWhileRunning(kPeriod);
    }
}

#include "RegistryServerStatus.h"

#include "AbletonClientTCP.h"
#include "Clock.h"
#include "IpadServerThread.h"
#include "MeterUpdateThread.h"
#include "UsbServerThread.h"
#include "OsxService.h"
#include "corviLaneServer.h"

#include <shared_mutex>

namespace {

// Runs `read` on the registry unless the server is being started or stopped
// right now; the menu never waits for that, it shows `idle` instead.
template <class Result, class Read>
Result whileRegistryStands(Result idle, Read read) {
    std::shared_lock<std::shared_mutex> lock(serverRegistryLock(), std::try_to_lock);
    return lock.owns_lock() ? read() : idle;
}

}  // namespace

std::uint64_t RegistryServerStatus::nowSeconds() const { return Clock::nowSeconds(); }

std::uint64_t RegistryServerStatus::scriptLastPong() const {
    return whileRegistryStands<std::uint64_t>(0, [] {
        return _abletonClientThread != nullptr ? _abletonClientThread->getLastPong() : 0;
    });
}

// The script connection keeps its own available field, which only its own
// test writes: the same "last pong less than 10 s old" on the same clock.
void RegistryServerStatus::setScriptAvailable(bool) {
    whileRegistryStands(false, [] { return _abletonClientThread != nullptr && _abletonClientThread->isAvailable(); });
}

// The USB sessions, all of them or the confirmed ones; none without a USB
// device watcher.
std::size_t RegistryServerStatus::usbSessions(bool connectedOnly) {
    return whileRegistryStands<std::size_t>(0, [connectedOnly] {
        if (_usbSrvThread == nullptr) return std::size_t{0};
        return connectedOnly ? _usbSrvThread->getConnectedClientCount() : _usbSrvThread->getClientCount();
    });
}

std::size_t RegistryServerStatus::usbSessionCount() const { return usbSessions(false); }

std::size_t RegistryServerStatus::wifiSessionCount() const {
    return whileRegistryStands<std::size_t>(0, [] {
        return _ipadSrvThread != nullptr ? _ipadSrvThread->getClientCount() : 0;
    });
}

std::size_t RegistryServerStatus::connectedSessionCount() const {
    return usbSessions(true) + whileRegistryStands<std::size_t>(0, [] {
        return _ipadSrvThread != nullptr ? _ipadSrvThread->getConnectedClientCount() : 0;
    });
}

bool RegistryServerStatus::studioMode() const {
    return whileRegistryStands(false, [] { return _meterThread != nullptr && _meterThread->b_StudioMode.load(); });
}

void RegistryServerStatus::setStudioMode(bool on) {
    whileRegistryStands(false, [on] { return _meterThread != nullptr && (_meterThread->b_StudioMode = on); });
}

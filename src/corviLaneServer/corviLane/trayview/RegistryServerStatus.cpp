#include "RegistryServerStatus.h"

#include "NetworkAddresses.h"
#include "RegistryLinks.h"
#include "TabletReach.h"
#include "corviLaneServer.h"

#include <shared_mutex>

namespace {

// Runs `read` unless the server is being started or stopped right now.
template <class Result, class Read>
Result whileRegistryStands(Result idle, Read read) {
    std::shared_lock<std::shared_mutex> lock(serverRegistryLock(), std::try_to_lock);
    return lock.owns_lock() ? read() : idle;
}

}  // namespace

RegistryServerStatus::RegistryServerStatus() : m_Links(RegistryLinks::instance()) {}

bool RegistryServerStatus::scriptResponding() {
    return whileRegistryStands(false, [this] { return m_Links.scriptStatus().available; });
}

std::size_t RegistryServerStatus::usbSessionCount() const {
    return whileRegistryStands<std::size_t>(0, [this] { return m_Links.sessionCounts().usb; });
}

std::size_t RegistryServerStatus::wifiSessionCount() const {
    return whileRegistryStands<std::size_t>(0, [this] { return m_Links.sessionCounts().wifi; });
}

std::size_t RegistryServerStatus::connectedSessionCount() const {
    return whileRegistryStands<std::size_t>(0, [this] { return m_Links.sessionCounts().connected; });
}

std::vector<std::string> RegistryServerStatus::tabletLines() const {
    return whileRegistryStands<std::vector<std::string>>({}, [this] {
        std::vector<std::string> lines;
        for (const TabletStatus& tablet : m_Links.tablets()) lines.push_back(TabletReach::tabletLine(tablet));
        return lines;
    });
}

bool RegistryServerStatus::studioMode() const {
    return whileRegistryStands(false, [this] { return m_Links.studioMode(); });
}

void RegistryServerStatus::setStudioMode(bool on) {
    whileRegistryStands(false, [this, on] {
        m_Links.setStudioMode(on);
        return true;
    });
}

std::string RegistryServerStatus::reachLine() const {
    std::vector<TabletReach::Address> addresses;
    for (const NetworkAddresses::Entry& entry : NetworkAddresses::list()) {
        addresses.push_back({entry.address, entry.wireless});
    }
    return TabletReach::line(addresses, wifiPorts().bound, advertisementStatus());
}

#include "RegistryServerStatus.h"

#include "NetworkAddresses.h"
#include "TabletReach.h"
#include "corviLaneServer.h"

bool RegistryServerStatus::scriptResponding() { return scriptLink().answers; }

std::size_t RegistryServerStatus::usbSessionCount() const { return relayCounts().sessions.usb; }

std::size_t RegistryServerStatus::wifiSessionCount() const { return relayCounts().sessions.wifi; }

std::size_t RegistryServerStatus::connectedSessionCount() const { return relayCounts().sessions.connected; }

std::vector<std::string> RegistryServerStatus::tabletLines() const {
    std::vector<std::string> lines;
    for (const TabletStatus& tablet : relayCounts().tablets) lines.push_back(TabletReach::tabletLine(tablet));
    return lines;
}

bool RegistryServerStatus::studioMode() const { return relayCounts().studioMode; }

void RegistryServerStatus::setStudioMode(bool on) { ::setStudioMode(on); }

std::string RegistryServerStatus::reachLine() const {
    std::vector<TabletReach::Address> addresses;
    for (const NetworkAddresses::Entry& entry : NetworkAddresses::list()) {
        addresses.push_back({entry.address, entry.wireless});
    }
    return TabletReach::line(addresses, wifiPorts().bound, advertisementStatus());
}

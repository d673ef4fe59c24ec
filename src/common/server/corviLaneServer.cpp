#include "corviLaneServer.h"

#include "HostName.h"
#include "LogBudget.h"
#include "Logger.h"

#include "MidiPort.h"
#include "Platform.h"
#include "Relay.h"
#include "SettingsFile.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

IpadServerThread* _ipadSrvThread = nullptr;
UsbServerThread* _usbSrvThread = nullptr;
AbletonServerThread* _abletonSrvThread = nullptr;
ClientMonitorThread* _monitorThread = nullptr;
MeterUpdateThread* _meterThread = nullptr;
AbletonClientTCP* _abletonClientThread = nullptr;
SettingsFile* _settings = nullptr;
std::atomic<bool> daemonRunning{false};

namespace {

// The platform the running server was started with.
Platform _platform;
// The relay: every long-lived thread and the sessions. The registry's
// pointers are views of its parts.
std::unique_ptr<Relay> _relay;
// The Wi-Fi port the settings asked for.
std::uint16_t _wantedWifiPort = 0;

}  // namespace

static_assert(std::atomic<bool>::is_always_lock_free, "daemonRunning is written by signal handlers");

namespace {

constexpr const char* kSettingsFileName = "corvilane-server.conf";

// The TCP port the tablets connect to over Wi-Fi; 0 when the listener has none.
std::uint16_t wifiListenerPort() {
    return _ipadSrvThread != nullptr ? static_cast<std::uint16_t>(_ipadSrvThread->getPort()) : 0;
}

void advertiseService() {
    // Read for compatibility with existing configuration files; it does not
    // change the registration.
    (void)_settings->getIntVal("debug.bonjour_inverse", 0);
    if (_platform.dnsSd != nullptr) _platform.dnsSd->advertise(hostName(), kDnsSdServiceType, wifiListenerPort());
}

// The caps on sessions of one kind ("wifi" or "usb"), from the settings: in
// all, and per address (Wi-Fi) or per device (USB); each session is a thread.
SessionLimits sessionLimits(const std::string& kind, const char* perKey, SessionLimits defaults, int most) {
    const int total =
        _settings->getIntInRange((kind + ".max_sessions").c_str(), static_cast<int>(defaults.total), 1, most);
    const int per =
        _settings->getIntInRange((kind + "." + perKey).c_str(), static_cast<int>(defaults.perPeer), 1, most);
    return {static_cast<std::size_t>(total), static_cast<std::size_t>(per)};
}

// The Wi-Fi port from the settings; 0 lets the system choose.
std::uint16_t wifiPort() {
    return static_cast<std::uint16_t>(_settings->getIntInRange("wifi.port", IpadServerThread::kDefaultPort, 0, 65535,
                                                               SettingsFile::OutOfRange::Default));
}

// Who may open Wi-Fi sessions, from the settings. Entries that cannot be read
// are logged and left out; a list of which nothing can be read would lock
// every tablet out, so the default list is taken instead.
AllowList wifiAllowList() {
    const std::string text = _settings->getStringVal("wifi.allow", AllowList::kDefault);
    std::vector<std::string> rejected;
    AllowList allow = AllowList::parse(text, rejected, _platform.localSubnets);
    for (const std::string& entry : rejected) {
        CLogger::warn("Settings: wifi.allow entry \"%s\" is neither an IPv4 address nor a prefix: left out", entry.c_str());
    }
    if (allow.empty()) {
        CLogger::warn("Settings: wifi.allow=%s allows no address: using the default", text.c_str());
        allow = AllowList::defaults(_platform.localSubnets);
    }
    CLogger::info("Wi-Fi sessions allowed from %s", allow.describe().c_str());
    return allow;
}

// What the settings choose for the relay.
RelaySettings relaySettings(bool usb) {
    return {.wifiPort = _wantedWifiPort,
            .wifiLimits = sessionLimits("wifi", "max_sessions_per_address", kWifiSessionLimits, kMostWifiSessions),
            .wifiAllow = wifiAllowList(),
            .usbLimits = sessionLimits("usb", "max_sessions_per_device", kUsbSessionLimits, kMostUsbSessions),
            .usb = usb};
}

// The registry's views of the relay's parts; all null without a relay.
void publish(Relay* relay) {
    _ipadSrvThread = relay != nullptr ? &relay->wifi() : nullptr;
    _usbSrvThread = relay != nullptr ? relay->usb() : nullptr;
    _abletonSrvThread = relay != nullptr ? &relay->datagrams() : nullptr;
    _monitorThread = relay != nullptr ? &relay->monitor() : nullptr;
    _meterThread = relay != nullptr ? &relay->meter() : nullptr;
    _abletonClientThread = relay != nullptr ? &relay->script() : nullptr;
}

}  // namespace

std::shared_mutex& serverRegistryLock() {
    static std::shared_mutex lock;
    return lock;
}

void startThreads(bool usb, const Platform& platform) {
    std::lock_guard<std::shared_mutex> registry(serverRegistryLock());
    _platform = platform;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    delete _settings;
    _settings = new SettingsFile(kSettingsFileName);

    MidiPort::create(platform.midi);

    _wantedWifiPort = wifiPort();
    _relay = std::make_unique<Relay>(relaySettings(usb), platform, daemonRunning);
    publish(_relay.get());
    _relay->start();
    advertiseService();
}

// Every thread ends before any object another thread may still reach is
// released (Relay::stop), then the relay goes, then the MIDI port the meter
// ticked on.
void stopThreads() {
    std::lock_guard<std::shared_mutex> registry(serverRegistryLock());
    if (_platform.dnsSd != nullptr) _platform.dnsSd->withdraw();
    if (_relay) _relay->stop();
    publish(nullptr);
    _relay.reset();
    delete _settings;
    _settings = nullptr;
    LogBudget::tellHeldBack(true);
    MidiPort::getInstance();
    MidiPort::Cleanup();
    _platform = {};
}

WifiPorts wifiPorts() {
    std::shared_lock<std::shared_mutex> registry(serverRegistryLock(), std::try_to_lock);
    if (!registry.owns_lock()) return {};
    return {_wantedWifiPort, wifiListenerPort()};
}

std::string advertisementStatus() {
    std::shared_lock<std::shared_mutex> registry(serverRegistryLock(), std::try_to_lock);
    if (!registry.owns_lock() || _platform.dnsSd == nullptr) return {};
    return _platform.dnsSd->status();
}

ScriptLink scriptLink() {
    std::shared_lock<std::shared_mutex> registry(serverRegistryLock(), std::try_to_lock);
    if (!registry.owns_lock() || !_relay) return {};
    const ScriptStatus status = _relay->scriptState().scriptStatus();
    return {_relay->script().isConnected(), status.available, status.port, status.version};
}

RelayCounts relayCounts() {
    std::shared_lock<std::shared_mutex> registry(serverRegistryLock(), std::try_to_lock);
    if (!registry.owns_lock() || !_relay) return {};
    return {_relay->hub().counts(), _relay->hub().tablets(), _relay->cues().studioMode()};
}

void setStudioMode(bool on) {
    std::shared_lock<std::shared_mutex> registry(serverRegistryLock(), std::try_to_lock);
    if (registry.owns_lock() && _relay) _relay->cues().setStudioMode(on);
}

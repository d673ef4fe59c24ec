#include "corviLaneServer.h"

#include "HostName.h"
#include "LogBudget.h"
#include "Logger.h"

#include "AbletonClientTCP.h"
#include "AbletonServerThread.h"
#include "ClientMonitorThread.h"
#include "IpadServerThread.h"
#include "MeterUpdateThread.h"
#include "MidiPort.h"
#include "Platform.h"
#include "RegistryLinks.h"
#include "SessionHub.h"
#include "SettingsFile.h"
#include "UsbServerThread.h"
#include "WaveformAnalyzer.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

SessionHub* _sessionHub = nullptr;
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
// The Wi-Fi port the settings asked for.
std::uint16_t _wantedWifiPort = 0;

}  // namespace

static_assert(std::atomic<bool>::is_always_lock_free, "daemonRunning is written by signal handlers");

namespace {

constexpr const char* kSettingsFileName = "corvilane-server.conf";
// The most sessions the settings may ask for, of each kind: a session is a
// thread and two descriptors, and a stage holds a few tablets.
constexpr int kMostWifiSessions = 256;
constexpr int kMostUsbSessions = 64;

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

// Deletes a registry object once nothing can touch it any more.
template <class T>
void release(T*& object) {
    delete object;
    object = nullptr;
}

// Stops a long-lived thread (its Stop also unblocks it) and waits for it to end.
template <class T>
void stopAndJoin(T* thread) {
    if (thread == nullptr) return;
    thread->Stop();
    thread->Join();
}

// Stops and joins a thread, and only then deletes its object.
template <class T>
void stopAndRelease(T*& thread) {
    stopAndJoin(thread);
    release(thread);
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
    release(_settings);
    _settings = new SettingsFile(kSettingsFileName);

    MidiPort::create(platform.midi);

    ServerLinks& links = RegistryLinks::instance();
    _wantedWifiPort = wifiPort();
    _sessionHub = new SessionHub;
    _ipadSrvThread = new IpadServerThread(
        links, *_sessionHub, _wantedWifiPort,
        sessionLimits("wifi", "max_sessions_per_address", kWifiSessionLimits, kMostWifiSessions), wifiAllowList());
    _usbSrvThread = usb && platform.usb != nullptr
                        ? new UsbServerThread(links, *_sessionHub, *platform.usb, platform.computerName,
                                              sessionLimits("usb", "max_sessions_per_device", kUsbSessionLimits,
                                                            kMostUsbSessions))
                        : nullptr;
    _abletonSrvThread = new AbletonServerThread(links);
    _monitorThread = new ClientMonitorThread(links);
    _meterThread = new MeterUpdateThread(links);
    _abletonClientThread =
        new AbletonClientTCP(links, platform.makeLiveChecker ? platform.makeLiveChecker() : nullptr,
                             platform.makeAnalyzer ? platform.makeAnalyzer() : nullptr);

    _ipadSrvThread->Start();
    if (_usbSrvThread != nullptr) _usbSrvThread->Start();
    _abletonSrvThread->Start();
    _monitorThread->Start();
    _meterThread->Start();
    _abletonClientThread->Start();

    advertiseService();
}

// Every thread ends before any object another thread may still reach is
// released. The monitor and the UDP listener reach the script connection and
// the sessions; the script connection's thread reaches the sessions; the
// sessions of either kind reach the script connection and the other kind's
// listener. So: the monitor, the UDP listener and the script connection's
// thread stop first; then both listeners stop taking sessions and end every
// session they have, while both still exist; then the listeners go, then the
// script connection object, then the meter thread and the MIDI port it ticks on.
void stopThreads() {
    std::lock_guard<std::shared_mutex> registry(serverRegistryLock());
    if (_platform.dnsSd != nullptr) _platform.dnsSd->withdraw();
    stopAndRelease(_monitorThread);
    stopAndRelease(_abletonSrvThread);
    stopAndJoin(_abletonClientThread);
    stopAndJoin(_usbSrvThread);
    stopAndJoin(_ipadSrvThread);
    if (_usbSrvThread != nullptr) _usbSrvThread->endSessions();
    if (_ipadSrvThread != nullptr) _ipadSrvThread->endSessions();
    release(_usbSrvThread);
    release(_ipadSrvThread);
    release(_abletonClientThread);
    release(_sessionHub);
    stopAndRelease(_meterThread);
    release(_settings);
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
    if (!registry.owns_lock() || _abletonClientThread == nullptr) return {};
    AbletonClientTCP& script = *_abletonClientThread;
    return {script.isConnected(), script.isAvailable(), script.getReportedPort()};
}

#pragma once

#include <atomic>
#include <cstdint>
#include <shared_mutex>
#include <string>

#include "RelayTypes.h"

#include <vector>

class AbletonClientTCP;
class AbletonServerThread;
class ClientMonitorThread;
class IpadServerThread;
class MeterUpdateThread;
class SettingsFile;
class UsbServerThread;
struct Platform;

// The thread registry: views of the relay's long-lived objects, which
// startThreads creates and starts and stopThreads stops and releases. Only
// those two write the pointers; every other thread only reads them.
extern IpadServerThread* _ipadSrvThread;
extern UsbServerThread* _usbSrvThread;  // null when started without USB
extern AbletonServerThread* _abletonSrvThread;
extern ClientMonitorThread* _monitorThread;
extern MeterUpdateThread* _meterThread;
extern AbletonClientTCP* _abletonClientThread;
extern SettingsFile* _settings;

// In service mode, true while the server is to keep running. Cleared from
// signal handlers and session threads, so it is a lock-free atomic.
extern std::atomic<bool> daemonRunning;

// Creates, registers and starts every long-lived object and advertises the
// service by DNS-SD, with the platform's pieces. `usb` false (or a platform
// without USB) leaves out the USB device watcher.
void startThreads(bool usb, const Platform& platform);

// Stops and releases the long-lived objects. Every thread is unblocked and
// joined before its object is deleted.
void stopThreads();

// Held exclusively while startThreads and stopThreads run, so that a reader
// of the thread registry outside the server (the status menu) holding it
// shared never sees an entry half set or an object being released.
std::shared_mutex& serverRegistryLock();

// The Wi-Fi port the settings ask for and the one the listener has (0: none),
// while the server runs. Neither of these two waits: while the server is
// being started or stopped they tell nothing (zeros, empty).
struct WifiPorts {
    std::uint16_t wanted = 0;
    std::uint16_t bound = 0;
};
WifiPorts wifiPorts();

// What the DNS-SD advertisement is doing, in a few words for the musician
// ("advertised as \"NAME\"", "not advertised: ..."); empty without one.
std::string advertisementStatus();

// The Live script connection: whether it is open, whether the script's last
// pong is less than 10 s old, and the port the script says it listens on.
// Like wifiPorts, it never waits: nothing while the server starts or stops.
struct ScriptLink {
    bool connected = false;
    bool answers = false;
    int port = 0;
    int version = 0;  // the script's version from its last pong
};
ScriptLink scriptLink();

// The tablets and studio mode, for the status menu and the check; like
// scriptLink, nothing while the server starts or stops.
struct RelayCounts {
    SessionCounts sessions;
    std::vector<TabletStatus> tablets;  // those that confirmed their sessions
    bool studioMode = false;
};
RelayCounts relayCounts();
// Studio mode silences the cues to the Live script.
void setStudioMode(bool on);

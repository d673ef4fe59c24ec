#pragma once

#include <atomic>
#include <cstdint>
#include <shared_mutex>
#include <string>

class AbletonClientTCP;
class AbletonServerThread;
class ClientMonitorThread;
class IpadServerThread;
class MeterUpdateThread;
class SessionHub;
class SettingsFile;
class UsbServerThread;
struct Platform;

// The thread registry: the server's long-lived objects, created and started by
// startThreads and stopped and released by stopThreads. Only those two write
// the pointers; every other thread only reads them.
// Every tablet session of either kind, with the fan-outs over them.
extern SessionHub* _sessionHub;
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
};
ScriptLink scriptLink();

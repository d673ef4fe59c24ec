#pragma once

#include <atomic>

class AbletonClientTCP;
class AbletonServerThread;
class ClientMonitorThread;
class IpadServerThread;
class MeterUpdateThread;
class SettingsFile;
class UsbServerThread;

// The thread registry: the server's long-lived objects, created and started by
// startThreads and stopped and released by stopThreads. Only those two write
// the pointers; every other thread only reads them.
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
// service by DNS-SD. `usb` false leaves out the USB device watcher.
void startThreads(bool usb);

// Stops and releases the long-lived objects. Every thread is unblocked and
// joined before its object is deleted.
void stopThreads();

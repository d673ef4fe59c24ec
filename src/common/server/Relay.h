#pragma once

#include "AbletonClientTCP.h"
#include "AbletonServerThread.h"
#include "AdmissionPolicy.h"
#include "AllowList.h"
#include "ClientMonitorThread.h"
#include "IpadServerThread.h"
#include "MeterUpdateThread.h"
#include "MidiCues.h"
#include "ScriptState.h"
#include "ServiceControl.h"
#include "SessionHub.h"
#include "TabletProtocol.h"
#include "UsbServerThread.h"

#include <atomic>
#include <cstdint>
#include <memory>

struct Platform;

// What the settings choose for the relay.
struct RelaySettings {
    std::uint16_t wifiPort = 0;  // 0: the system chooses
    SessionLimits wifiLimits = kWifiSessionLimits;
    AllowList wifiAllow = AllowList::defaults();
    SessionLimits usbLimits = kUsbSessionLimits;
    bool usb = true;  // false: no tablets by cable, even where the platform has USB
};

// The relay as one object: the session hub and the tablets' acceptors (Wi-Fi
// and USB), the script connection and the script's datagram listener, the
// monitor and the meter, and what they share (the script's state, the MIDI
// cues). Built whole, started in one call, and stopped in the order that
// lets no thread reach an object already gone.
class Relay final : private ServiceControl {
public:
    // `running` is cleared when a tablet asks the service to end.
    Relay(const RelaySettings& settings, const Platform& platform, std::atomic<bool>& running);
    // Stops first, if that has not been done.
    ~Relay() override;
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    void start();
    // Every thread is stopped, unblocked and joined; every session ended.
    void stop();

    SessionHub& hub() { return m_Hub; }
    ScriptState& scriptState() { return m_State; }
    Cues& cues() { return m_Cues; }
    IpadServerThread& wifi() { return *m_Wifi; }
    UsbServerThread* usb() { return m_Usb.get(); }  // null without USB
    AbletonClientTCP& script() { return *m_Script; }
    AbletonServerThread& datagrams() { return *m_Datagrams; }
    ClientMonitorThread& monitor() { return *m_Monitor; }
    MeterUpdateThread& meter() { return *m_Meter; }

private:
    void requestShutdown() override { m_Running = false; }

    std::atomic<bool>& m_Running;
    ScriptState m_State;
    MidiCues m_Cues;
    SessionHub m_Hub;
    std::unique_ptr<AbletonClientTCP> m_Script;
    TabletPeers m_Peers;
    std::unique_ptr<IpadServerThread> m_Wifi;
    std::unique_ptr<UsbServerThread> m_Usb;
    std::unique_ptr<AbletonServerThread> m_Datagrams;
    std::unique_ptr<ClientMonitorThread> m_Monitor;
    std::unique_ptr<MeterUpdateThread> m_Meter;
    bool m_Stopped = false;
};

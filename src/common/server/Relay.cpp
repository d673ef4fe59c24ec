#include "Relay.h"

#include "Platform.h"
#include "WaveformAnalyzer.h"

namespace {

// Stops a thread (its Stop also unblocks it) and waits for it to end.
void stopAndJoin(CThread* thread) {
    if (thread == nullptr) return;
    thread->Stop();
    thread->Join();
}

}  // namespace

// The listeners are made in the order the log and the terminal tell of
// them: the Wi-Fi listener, the USB watcher, the datagram listener.
Relay::Relay(const RelaySettings& settings, const Platform& platform, std::atomic<bool>& running)
    : m_Running(running), m_State(platform.makeLiveChecker ? platform.makeLiveChecker() : nullptr),
      m_Script(std::make_unique<AbletonClientTCP>(m_State, m_Hub, m_Hub, m_Cues,
                                                  platform.makeAnalyzer ? platform.makeAnalyzer() : nullptr)),
      m_Peers{*m_Script, m_Hub, m_Hub, m_State, m_Cues, *this,
              settings.usb && platform.usb != nullptr ? platform.computerName : "USB"},
      m_Wifi(std::make_unique<IpadServerThread>(m_Peers, m_Hub, settings.wifiPort, settings.wifiLimits,
                                                settings.wifiAllow)),
      m_Usb(settings.usb && platform.usb != nullptr
                ? std::make_unique<UsbServerThread>(m_Peers, m_Hub, *platform.usb, settings.usbLimits)
                : nullptr),
      m_Datagrams(std::make_unique<AbletonServerThread>(m_State, m_Hub)),
      m_Monitor(std::make_unique<ClientMonitorThread>(*m_Script, m_Hub)),
      m_Meter(std::make_unique<MeterUpdateThread>(m_Cues)) {}

Relay::~Relay() { stop(); }

void Relay::start() {
    m_Wifi->Start();
    if (m_Usb) m_Usb->Start();
    m_Datagrams->Start();
    m_Monitor->Start();
    m_Meter->Start();
    m_Script->Start();
}

// The monitor and the datagram listener reach the script connection and the
// sessions; the script connection's thread reaches the sessions; sessions
// reach the script connection. So: the monitor, the datagram listener and
// the script connection's thread stop first; then both acceptors stop taking
// sessions and end every session they have; the meter last.
void Relay::stop() {
    if (m_Stopped) return;
    m_Stopped = true;
    stopAndJoin(m_Monitor.get());
    stopAndJoin(m_Datagrams.get());
    stopAndJoin(m_Script.get());
    stopAndJoin(m_Usb.get());
    stopAndJoin(m_Wifi.get());
    if (m_Usb) m_Usb->endSessions();
    m_Wifi->endSessions();
    stopAndJoin(m_Meter.get());
}

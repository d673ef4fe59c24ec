#pragma once

#include "AdmissionPolicy.h"
#include "SessionHub.h"
#include "Thread.h"
#include "UsbClientThread.h"
#include "UsbDeviceLibrary.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <utility>


// The USB device watcher: keeps one session per tablet attached by cable, in
// the session hub. The device library's notifications arrive on the
// library's thread; they are queued and handled on the watcher's own thread.
class UsbServerThread : public CThread {
public:
    // `limits` caps the sessions in all and per device.
    UsbServerThread(TabletPeers& peers, SessionHub& hub, UsbDeviceLibrary& library,
                    SessionLimits limits = kUsbSessionLimits);
    // Ends every session still listed, waiting until each has gone.
    ~UsbServerThread() override;

    void Work() override;
    // Also wakes the watcher's wait for notifications.
    void Stop() override;

    // Removes and destroys a session that has ended (its Finalize).
    void RemoveThread(UsbClientThread* session);

    // The USB sessions, confirmed or not; those the tablets confirmed.
    std::size_t getClientCount() { return m_Hub.count(Transport::Usb); }
    std::size_t getConnectedClientCount() { return m_Hub.connectedCount(Transport::Usb); }
    void endSessions() { m_Hub.endSessions(Transport::Usb); }

private:
    void queueNotification(int code, const UsbDevice& device);
    void notification1(int code, const UsbDevice& device);
    void attached(const UsbDevice& device);
    void detached(const UsbDevice& device);
    // Whether one more session for `device` fits the caps.
    bool admit(const UsbDevice& device);

    TabletPeers& m_Peers;
    SessionHub& m_Hub;
    UsbDeviceLibrary& m_Library;
    const AdmissionPolicy m_Admission;

    std::mutex m_NotificationLock;  // guards m_Notifications; the watcher's run loop
    std::condition_variable m_NotificationReady;
    std::deque<std::pair<int, UsbDevice>> m_Notifications;
};

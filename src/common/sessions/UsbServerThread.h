#pragma once

#include "IpadServerThread.h"
#include "SessionList.h"
#include "Thread.h"
#include "UsbClientThread.h"
#include "UsbDeviceLibrary.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

class ServerLinks;

// The USB device watcher: keeps one session per tablet attached by cable and
// fans messages out to those sessions. The device library's notifications
// arrive on the library's thread; they are queued and handled on the
// watcher's own thread.
class UsbServerThread : public CThread, public SessionList<UsbClientThread> {
public:
    // `computerName` is what the tablets are told the computer is called.
    // `limits` caps the sessions in all and per device (its `perAddress`).
    UsbServerThread(ServerLinks& links, UsbDeviceLibrary& library, std::string computerName,
                    SessionLimits limits = {16, 4});
    // Ends every session still listed, waiting until each has gone.
    ~UsbServerThread() override;

    void Work() override;
    // Also wakes the watcher's wait for notifications.
    void Stop() override;

    // Removes and destroys a session that has ended (its Finalize).
    void RemoveThread(UsbClientThread* session);

    const std::string& computerName() const { return m_ComputerName; }

private:
    void queueNotification(int code, const UsbDevice& device);
    void notification1(int code, const UsbDevice& device);
    void attached(const UsbDevice& device);
    void detached(const UsbDevice& device);
    // Whether one more session for `device` fits the limits; under m_ListMutex.
    bool admit(const UsbDevice& device);

    ServerLinks& m_Links;
    UsbDeviceLibrary& m_Library;
    const std::string m_ComputerName;
    const SessionLimits m_Limits;
    std::uint64_t m_LastRefusalLogged = 0;  // seconds; the watcher's own

    std::mutex m_NotificationLock;  // guards m_Notifications; the watcher's run loop
    std::condition_variable m_NotificationReady;
    std::deque<std::pair<int, UsbDevice>> m_Notifications;
};

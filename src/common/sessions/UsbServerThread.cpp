#include "UsbServerThread.h"

#include "Clock.h"
#include "Console.h"
#include "LogBudget.h"
#include "Logger.h"

#include <exception>

UsbServerThread::UsbServerThread(TabletPeers& peers, SessionHub& hub, UsbDeviceLibrary& library,
                                 SessionLimits limits)
    : m_Peers(peers), m_Hub(hub), m_Library(library),
      m_Admission(limits, false, 0) {
    Console::print("starting server\n");
}

UsbServerThread::~UsbServerThread() { endSessions(); }

void UsbServerThread::Stop() {
    CThread::Stop();
    std::lock_guard<std::mutex> lock(m_NotificationLock);
    m_NotificationReady.notify_all();
}

// Subscribes, then handles the notifications as they are queued until the
// watcher is stopped.
void UsbServerThread::Work() {
    const int result = m_Library.subscribe([this](int code, const UsbDevice& device) { queueNotification(code, device); });
    CLogger::info("Subscribed for notifications: %u\n", static_cast<unsigned>(result));
    if (result != 0) CLogger::error("AMDeviceNotificationSubscribe = %i", result);
    std::unique_lock<std::mutex> lock(m_NotificationLock);
    while (isRunning()) {
        m_NotificationReady.wait(lock, [this] { return !isRunning() || !m_Notifications.empty(); });
        if (!isRunning()) break;
        const auto [code, device] = std::move(m_Notifications.front());
        m_Notifications.pop_front();
        lock.unlock();
        try {
            notification1(code, device);
        } catch (const std::exception& error) {
            CLogger::error("USB notification %d failed: %s", code, error.what());
        }
        lock.lock();
    }
    lock.unlock();
    m_Library.unsubscribe();
}

// On the library's thread: only queued, never handled here.
void UsbServerThread::queueNotification(int code, const UsbDevice& device) {
    {
        std::lock_guard<std::mutex> lock(m_NotificationLock);
        m_Notifications.emplace_back(code, device);
    }
    m_NotificationReady.notify_all();
}

void UsbServerThread::notification1(int code, const UsbDevice& device) {
    Console::print("connection notification server\n");
    if (LogBudget::take(LogBudget::Kind::UsbDevices)) CLogger::info("notification(%u)", static_cast<unsigned>(code));
    if (device.productId == 0) {
        Console::print("product id: %d device id: %d lockdown conn: %d\n", static_cast<int>(device.productId),
                       static_cast<int>(device.handle), device.lockdown);
        return;
    }
    if (code == UsbDeviceLibrary::kAttached) attached(device);
    if (code == UsbDeviceLibrary::kDetached) detached(device);
}

// A device that is already listed gets a second session, within the limits.
void UsbServerThread::attached(const UsbDevice& device) {
    if (LogBudget::take(LogBudget::Kind::UsbDevices)) CLogger::info("Device connected: %s", device.identifier.c_str());
    Console::print("Device connected: %s\n", device.identifier.c_str());
    if (!admit(device)) return;
    m_Hub.launch(new UsbClientThread(m_Peers, m_Library, device, *this), Transport::Usb, device.identifier.c_str());
}

// A session counts until its thread has ended, stopping or not: the cap
// bounds the threads and descriptors a flapping device can cost. Refusals
// are within the log's budget for USB device events: a daemon that reports
// one device again and again cannot flood the log either.
bool UsbServerThread::admit(const UsbDevice& device) {
    const auto sameDevice = [&device](const BaseClientThread& session) {
        return static_cast<const UsbClientThread&>(session).GetDevice().handle == device.handle;
    };
    const AdmissionPolicy::Decision decision = m_Hub.admit(Transport::Usb, m_Admission, sameDevice, true).decision;
    if (decision.verdict == AdmissionPolicy::Decision::Verdict::Admit) return true;
    if (LogBudget::take(LogBudget::Kind::UsbDevices)) {
        CLogger::error("Refused a session for USB device %s: %zu sessions in all, %zu for that device",
                       device.identifier.c_str(), decision.total, decision.fromPeer);
    }
    return false;
}

// The detach ends the session of that attach: the one of that handle still
// running (one already leaving went with an earlier detach). It leaves the
// hub itself once its thread has finished.
void UsbServerThread::detached(const UsbDevice& device) {
    if (LogBudget::take(LogBudget::Kind::UsbDevices)) CLogger::info("Device disconnected: %s", device.identifier.c_str());
    bool ended = false;
    m_Hub.forEach(Transport::Usb, [&](BaseClientThread& session) {
        auto& usb = static_cast<UsbClientThread&>(session);
        if (ended || !usb.isRunning() || usb.GetDevice().handle != device.handle) return;
        usb.Break();
        ended = true;
    });
}

void UsbServerThread::RemoveThread(UsbClientThread* session) { m_Hub.remove(session); }

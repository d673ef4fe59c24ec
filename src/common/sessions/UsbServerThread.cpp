#include "UsbServerThread.h"

#include "Clock.h"
#include "Console.h"
#include "Logger.h"

#include <exception>

UsbServerThread::UsbServerThread(ServerLinks& links, UsbDeviceLibrary& library, std::string computerName,
                                 SessionLimits limits)
    : m_Links(links), m_Library(library), m_ComputerName(std::move(computerName)), m_Limits(limits) {
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
    CLogger::info("notification(%u)", static_cast<unsigned>(code));
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
    CLogger::info("Device connected: %s", device.identifier.c_str());
    Console::print("Device connected: %s\n", device.identifier.c_str());
    {
        std::lock_guard<CThreadMutex> lock(m_ListMutex);
        if (!admit(device)) return;
    }
    launch(new UsbClientThread(m_Links, m_Library, device, *this), device.identifier.c_str());
}

// Refusals are logged at most once a second: a daemon that reports one
// device again and again cannot flood the log either.
bool UsbServerThread::admit(const UsbDevice& device) {
    std::size_t total = 0;
    std::size_t ofDevice = 0;
    for (const UsbClientThread* session : m_List) {
        if (!session->isRunning()) continue;  // already leaving
        ++total;
        if (session->GetDevice().handle == device.handle) ++ofDevice;
    }
    if (total < m_Limits.total && ofDevice < m_Limits.perAddress) return true;
    if (const std::uint64_t now = Clock::nowSeconds(); now != m_LastRefusalLogged) {
        m_LastRefusalLogged = now;
        CLogger::error("Refused a session for USB device %s: %zu sessions in all, %zu for that device",
                       device.identifier.c_str(), total, ofDevice);
    }
    return false;
}

// The first session of the device ends; it leaves the list itself once its
// thread has finished.
void UsbServerThread::detached(const UsbDevice& device) {
    CLogger::info("Device disconnected: %s", device.identifier.c_str());
    std::lock_guard<CThreadMutex> lock(m_ListMutex);
    for (UsbClientThread* session : m_List) {
        if (session->GetDevice().handle == device.handle) {
            session->Break();
            return;
        }
    }
}

void UsbServerThread::RemoveThread(UsbClientThread* session) { removeSession(session); }

#include "UsbMuxLibrary.h"

#include "Logger.h"

#include <usbmuxd.h>

#include <cstdlib>

UsbMuxLibrary::~UsbMuxLibrary() { unsubscribe(); }

int UsbMuxLibrary::subscribe(Notify notify) {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Notify = std::move(notify);
    }
    // Without this the library waits for ever for the daemon's socket file
    // when usbmuxd is not running; with it, it looks again every second.
    libusbmuxd_set_use_inotify(0);
    usbmuxd_device_info_t* devices = nullptr;
    if (usbmuxd_get_device_list(&devices) < 0) {
        CLogger::error("USB: usbmuxd is not running; tablets plugged in by cable are served once it starts");
    } else {
        usbmuxd_device_list_free(&devices);
    }
    usbmuxd_subscription_context_t context = nullptr;
    const int result = usbmuxd_events_subscribe(
        &context,
        [](const usbmuxd_event_t* event, void* self) {
            const usbmuxd_device_info_t& info = event->device;
            const UsbDevice device{info.handle, info.product_id, static_cast<int>(info.conn_type), info.udid};
            static_cast<UsbMuxLibrary*>(self)->handle(event->event, device);
        },
        this);
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Context = result == 0 ? context : nullptr;
    return result;
}

void UsbMuxLibrary::unsubscribe() {
    usbmuxd_subscription_context* context = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        context = m_Context;
        m_Context = nullptr;
    }
    // Outside the lock: the library waits for its own thread, which may be
    // handing over an event.
    if (context != nullptr) usbmuxd_events_unsubscribe(context);
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Notify = nullptr;
    m_Attached.clear();
}

// On the library's thread, with its lock held: remembers what is attached
// and hands the event on without waiting for anything.
void UsbMuxLibrary::handle(int code, const UsbDevice& device) {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (code == kAttached) m_Attached.insert(device.handle);
    if (code == kDetached) m_Attached.erase(device.handle);
    if (m_Notify && (code == kAttached || code == kDetached)) m_Notify(code, device);
}

int UsbMuxLibrary::connectDevice(const UsbDevice& device) {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Attached.count(device.handle) != 0 ? 0 : -ENODEV;
}

int UsbMuxLibrary::validatePairing(const UsbDevice& device) {
    char* record = nullptr;
    std::uint32_t size = 0;
    const int result = usbmuxd_read_pair_record(device.identifier.c_str(), &record, &size);
    std::free(record);
    return result;
}

int UsbMuxLibrary::connectToPort(std::uint32_t connectionId, std::uint16_t port, int& socket) {
    const int result = usbmuxd_connect(connectionId, port);
    socket = result >= 0 ? result : 0;
    return result >= 0 ? 0 : result;
}

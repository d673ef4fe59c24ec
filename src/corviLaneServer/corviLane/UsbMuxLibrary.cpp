#include "UsbMuxLibrary.h"

#include "Logger.h"

#include <usbmuxd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <system_error>
#include <thread>

UsbMuxLibrary::~UsbMuxLibrary() { unsubscribe(); }

namespace {

// How long a stop waits for the library to end its watcher thread. Without a
// daemon that thread looks for the socket file about once a second, and on a
// busy machine ending it has taken several seconds: a stop does not wait for
// that, and a later subscription does.
constexpr auto kUnsubscribeWait = std::chrono::milliseconds(500);

}  // namespace

// An unsubscription still running on a thread of its own.
struct UsbMuxLibrary::Unsubscribing {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
};

int UsbMuxLibrary::subscribe(Notify notify) {
    // The library keeps one watcher thread for every subscription: a new one
    // made while the last is still being ended would get no events.
    if (m_Unsubscribing) {
        std::unique_lock<std::mutex> lock(m_Unsubscribing->lock);
        m_Unsubscribing->ended.wait(lock, [this] { return m_Unsubscribing->done; });
    }
    m_Unsubscribing.reset();
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

// No event reaches the subscriber once this returns. The library's own
// thread is ended on a thread of its own, waited for only briefly.
void UsbMuxLibrary::unsubscribe() {
    usbmuxd_subscription_context* context = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        context = m_Context;
        m_Context = nullptr;
        m_Notify = nullptr;
        m_Attached.clear();
    }
    if (context == nullptr) return;
    auto state = std::make_shared<Unsubscribing>();
    try {
        // Outside m_Lock: the library waits for its thread, which may be
        // handing over an event.
        std::thread([context, state] {
            usbmuxd_events_unsubscribe(context);
            std::lock_guard<std::mutex> lock(state->lock);
            state->done = true;
            state->ended.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        usbmuxd_events_unsubscribe(context);
        return;
    }
    std::unique_lock<std::mutex> lock(state->lock);
    if (!state->ended.wait_for(lock, kUnsubscribeWait, [&] { return state->done; })) {
        CLogger::debug("USB: the usbmux library is still ending its watcher; not waiting for it");
    }
    m_Unsubscribing = std::move(state);
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

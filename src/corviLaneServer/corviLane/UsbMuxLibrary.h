#pragma once

#include "UsbDeviceLibrary.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>

struct usbmuxd_subscription_context;

// The USB device library on Linux: libusbmuxd, talking to the usbmuxd
// daemon. A device's handle serves as its connection id; the device counts
// as connected while it is attached; pairing is the presence of this
// computer's pair record for the device's UDID.
class UsbMuxLibrary final : public UsbDeviceLibrary {
public:
    UsbMuxLibrary() = default;
    ~UsbMuxLibrary() override;

    int subscribe(Notify notify) override;
    void unsubscribe() override;
    int connectDevice(const UsbDevice& device) override;
    std::uint32_t connectionId(const UsbDevice& device) override { return device.handle; }
    int validatePairing(const UsbDevice& device) override;
    int connectToPort(std::uint32_t connectionId, std::uint16_t port, int& socket) override;

private:
    struct Unsubscribing;

    void handle(int code, const UsbDevice& device);

    std::mutex m_Lock;  // guards what follows
    Notify m_Notify;
    std::set<std::uint32_t> m_Attached;
    usbmuxd_subscription_context* m_Context = nullptr;
    // The last unsubscription, which may still be running; only the
    // subscribing thread touches it.
    std::shared_ptr<Unsubscribing> m_Unsubscribing;
};

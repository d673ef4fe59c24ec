#pragma once

#include <cstdint>
#include <functional>
#include <string>

// A tablet plugged in by cable, as the platform's USB multiplexing reports it.
struct UsbDevice {
    std::uint32_t handle = 0;     // the library's handle, stable while the device is attached
    std::uint32_t productId = 0;  // 0 for a record that is not a usable device
    int lockdown = 0;             // how the device is connected (1: USB)
    std::string identifier;       // the device's identifier text (its UDID)
};

// The platform's USB multiplexing: attach and detach notifications, pairing,
// and byte streams to a TCP port on a device.
class UsbDeviceLibrary {
public:
    static constexpr int kAttached = 1;
    static constexpr int kDetached = 2;

    using Notify = std::function<void(int code, const UsbDevice& device)>;

    virtual ~UsbDeviceLibrary() = default;

    // Starts the notifications; 0 on success. `notify` is called on the
    // library's own thread and must neither block nor unsubscribe.
    virtual int subscribe(Notify notify) = 0;
    virtual void unsubscribe() = 0;
    // The connect step: 0 while the device is attached, else an error code.
    virtual int connectDevice(const UsbDevice& device) = 0;
    // The device's multiplexing connection id (non-zero).
    virtual std::uint32_t connectionId(const UsbDevice& device) = 0;
    // 0 when this computer is paired with the device.
    virtual int validatePairing(const UsbDevice& device) = 0;
    // A stream to `port` on the device of `connectionId`: 0 and the stream's
    // descriptor in `socket`, or non-zero.
    virtual int connectToPort(std::uint32_t connectionId, std::uint16_t port, int& socket) = 0;
};

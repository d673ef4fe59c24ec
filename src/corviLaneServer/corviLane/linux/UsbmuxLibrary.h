#pragma once

#include "ThreadMutex.h"

#include "UsbDeviceLibrary.h"
#include "UsbmuxProtocol.h"
#include "Wakeup.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class UsbmuxConnection;

// The USB device library on Linux: the usbmux daemon (usbmuxd), spoken to
// over its socket. A device's handle serves as its connection id; the device
// counts as connected while it is attached; pairing is the presence of this
// computer's pair record for the device's UDID.
//
// The subscription is one connection, watched by a thread of this class with
// poll() (any descriptor number), and nothing else: when the daemon goes
// away, every device it had reported is reported removed and the thread
// looks for the daemon again every second; a daemon that ends or spoils its
// connections soon after accepting them is asked again less and less often
// (up to every kMaxRetry). Each request opens a connection of its own with a
// deadline. A stop cancels every wait at once, and a device's detach every
// wait for that device (a session asking for a device that went).
class UsbmuxLibrary final : public UsbDeviceLibrary {
public:
    // A connection that lasted less than this (seconds of the server's
    // clock) doubles the pause before the next one.
    static constexpr std::uint64_t kSteadySeconds = 10;
    static constexpr std::chrono::seconds kMaxRetry{32};
    // Devices remembered at once: a daemon reporting more is not believed.
    static constexpr std::size_t kMaxDevices = 64;

    UsbmuxLibrary() = default;
    ~UsbmuxLibrary() override;

    int subscribe(Notify notify) override;
    void unsubscribe() override;
    int connectDevice(const UsbDevice& device) override;
    std::uint32_t connectionId(const UsbDevice& device) override { return device.handle; }
    int validatePairing(const UsbDevice& device) override;
    int connectToPort(std::uint32_t connectionId, std::uint16_t port, int& socket) override;

    // Whether the daemon was last found answering, for the service's lines.
    enum class Daemon { Unknown, Answers, Absent };
    Daemon daemonState() const { return m_Daemon.load(); }

private:
    void watch(const std::string& address);
    // Subscribes on `connection`; false (and why, in `error`) when the daemon refuses.
    bool listen(UsbmuxConnection& connection, std::string& error);
    // Hands on the device events of the subscription until it ends.
    void follow(UsbmuxConnection& connection);
    void attached(const UsbDevice& device);
    void detached(std::uint32_t handle);
    // Reports every device removed: the daemon that knew them is gone.
    void forgetDevices();
    // Waits `pause` of the server's clock; false when stopped meanwhile.
    bool pauseFor(std::chrono::seconds pause);
    // Sends the request that `build` makes for a tag on a new connection,
    // left in `connection`, and returns the daemon's reply, or nothing.
    std::optional<usbmux::Reply> request(const std::function<std::string(std::uint32_t)>& build,
                                         UsbmuxConnection& connection, std::string& error, std::uint32_t handle);
    // What cancels a wait for the device of `handle`: its detach (or a
    // stop); for a device not attached, a stop alone.
    std::shared_ptr<Wakeup> cancelOf(std::uint32_t handle);
    // A device's entry: the device and the signal of its detach.
    struct Attachment {
        UsbDevice device;
        std::shared_ptr<Wakeup> gone;
    };
    // Ends an attachment: its waits are cancelled (called with m_Lock held).
    static void end(const Attachment& attachment);
    std::uint32_t nextTag() { return m_Tag.fetch_add(1); }

    Wakeup m_Stopping;  // readable from a stop until the next subscription
    std::atomic<bool> m_Stop{false};
    std::atomic<std::uint32_t> m_Tag{1};
    std::atomic<Daemon> m_Daemon{Daemon::Unknown};
    CThreadMutex m_Lock;  // guards what follows
    Notify m_Notify;
    std::map<std::uint32_t, Attachment> m_Attached;
    std::thread m_Watcher;  // only the subscribing thread starts and joins it
};

#pragma once

#include "BaseClientThread.h"
#include "ThreadMutex.h"
#include "UsbDeviceLibrary.h"

#include <atomic>
#include <cstdint>

class UsbServerThread;

// A tablet session over USB: a stream to TCP port 2345 on the device, opened
// (and after a loss opened again) by Init, closed by PerformDisconnect. The
// session lives from the device's attachment until it is detached, told to
// go, or stopped.
class UsbClientThread : public BaseClientThread {
public:
    static constexpr std::uint16_t kDevicePort = 2345;

    UsbClientThread(TabletPeers& peers, UsbDeviceLibrary& library, const UsbDevice& device, UsbServerThread& watcher);
    ~UsbClientThread() override;

    bool Init() override;
    // Closes the stream; the session goes on and opens it again. Called from
    // another thread, it has the session's own thread close it.
    void PerformDisconnect() override;
    void Finalize() override;
    // Without a stream the tablet can neither be pinged nor answer: the
    // liveness step waits for one.
    void Monitor() override;

    // Ends the session: stops it and closes its stream.
    void Break();
    const UsbDevice& GetDevice() const { return m_Device; }
    std::string peerName() const override { return "the USB device " + m_Device.identifier; }
    TabletStatus status() const override {
        TabletStatus status = BaseClientThread::status();
        status.usb = true;
        status.address = m_Device.identifier;
        return status;
    }

private:
    bool connectDevice();

    UsbDeviceLibrary& m_Library;
    const UsbDevice m_Device;
    UsbServerThread& m_Watcher;
    std::uint32_t m_MuxConnection = 0;  // the session's own thread only
    CThreadMutex m_SessionMutex;        // serialises closing the stream
};

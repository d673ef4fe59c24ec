#include "UsbClientThread.h"

#include "Console.h"
#include "LogBudget.h"
#include "Logger.h"
#include "UsbServerThread.h"

#include <mutex>

namespace {

// The port as the device's multiplexing protocol carries it: 2345 with its
// two bytes swapped (the library swaps it itself; this is what is logged).
constexpr unsigned kDevicePortOnTheWire = 10505;
// After a stream is lost the device gets a moment before it is asked again.
constexpr std::uint64_t kReconnectPauseSeconds = 1;

}  // namespace

UsbClientThread::UsbClientThread(TabletPeers& peers, UsbDeviceLibrary& library, const UsbDevice& device,
                                 UsbServerThread& watcher)
    : BaseClientThread(peers, LogBudget::Kind::UsbDevices), m_Library(library), m_Device(device), m_Watcher(watcher) {
    // No peer address: the timeout line names a USB session 0.0.0.0.
    m_Addr.sin_family = 0;
    m_Addr.sin_port = UsbClientThread::kDevicePort;
    if (LogBudget::take(LogBudget::Kind::UsbDevices)) CLogger::debug("UsbClientThread()");
    Console::print("init UsbClientThread\n");
}

UsbClientThread::~UsbClientThread() {
    {
        std::lock_guard<CThreadMutex> lock(m_SessionMutex);
        closeStream();
    }
    if (LogBudget::take(LogBudget::Kind::UsbDevices)) CLogger::debug("~UsbClientThread");
}

// Opens the stream to the tablet's port when there is none: the device is
// connected once (its connection id stays for the session's life), then the
// port is opened. False makes the session try again five seconds later.
bool UsbClientThread::Init() {
    if (streamSocket() > 0) return true;
    if (m_MuxConnection == 0) connectDevice();
    if (LogBudget::take(LogBudget::Kind::UsbDevices)) CLogger::debug("Device handle=%u", m_MuxConnection);
    if (m_MuxConnection == 0) return false;
    if (LogBudget::take(LogBudget::Kind::UsbDevices)) CLogger::debug("Opening port...");
    int socket = 0;
    const int result = m_Library.connectToPort(m_MuxConnection, kDevicePort, socket);
    if (result != 0) {
        if (LogBudget::take(LogBudget::Kind::UsbDevices)) CLogger::error("USBMuxConnectByPort = %x, handle=%x", static_cast<unsigned>(result), static_cast<unsigned>(socket));
        return false;
    }
    {
        std::lock_guard<CThreadMutex> lock(m_SessionMutex);
        openStream(socket);
    }
    Console::print("USBMuxConnectByPort OK\n");
    if (LogBudget::take(LogBudget::Kind::UsbDevices)) CLogger::debug("Stream to port %u (%u on the wire) of %s open", static_cast<unsigned>(kDevicePort),
                   kDevicePortOnTheWire, m_Device.identifier.c_str());
    return true;
}

bool UsbClientThread::connectDevice() {
    if (LogBudget::take(LogBudget::Kind::UsbDevices)) CLogger::debug("Connecting to device...");
    const int result = m_Library.connectDevice(m_Device);
    if (LogBudget::take(LogBudget::Kind::UsbDevices)) CLogger::debug("AMDeviceConnect() = 0x%x", static_cast<unsigned>(result));
    if (result == 0) {
        Console::print("connection successful\n");
        m_MuxConnection = m_Library.connectionId(m_Device);
    } else {
        if (LogBudget::take(LogBudget::Kind::UsbDevices)) CLogger::error("AMDeviceConnect = %i", result);
    }
    if (m_Library.validatePairing(m_Device) == 0) Console::print("connection ACTUALLY successful\n");
    return result == 0;
}

// Only the session's own thread closes its stream: another thread (the
// watcher on a detach, the monitor on a time-out) asks it to, and nothing
// waits. Asked while a packet is handled ("/server/ping" -2), the stream goes
// once the packet's replies have. The pause before the device is asked again
// is the session's own.
void UsbClientThread::PerformDisconnect() {
    if (!onOwnThread() || dispatching()) return requestDisconnect();
    bool closed = false;
    {
        std::lock_guard<CThreadMutex> lock(m_SessionMutex);
        Console::print("PerformDisconnect()\n");
        closed = streamSocket() > 0;
        closeStream();
    }
    if (closed) pause(kReconnectPauseSeconds);
}

void UsbClientThread::Monitor() {
    if (streamSocket() > 0) BaseClientThread::Monitor();
}

void UsbClientThread::Break() {
    Stop();
    PerformDisconnect();
}

void UsbClientThread::Finalize() {
    if (LogBudget::take(LogBudget::Kind::UsbDevices)) CLogger::debug("UsbClientThread::Finalize()");
    Stop();
    m_Watcher.RemoveThread(this);  // destroys this session
}

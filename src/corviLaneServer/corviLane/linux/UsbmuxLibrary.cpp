#include "UsbmuxLibrary.h"

#include "Clock.h"
#include "LogBudget.h"
#include "Logger.h"
#include "UsbmuxConnection.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace {

// How long a request, or the start of a subscription, may take.
constexpr auto kRequestTime = std::chrono::seconds(5);

UsbmuxConnection::Deadline requestDeadline() { return std::chrono::steady_clock::now() + kRequestTime; }

}  // namespace

UsbmuxLibrary::~UsbmuxLibrary() { unsubscribe(); }

int UsbmuxLibrary::subscribe(Notify notify) {
    unsubscribe();
    m_Stopping.drain();
    m_Stop = false;
    {
        std::lock_guard<CThreadMutex> lock(m_Lock);
        m_Notify = std::move(notify);
    }
    try {
        m_Watcher = std::thread([this, address = UsbmuxConnection::daemonAddress()] { watch(address); });
    } catch (const std::system_error& error) {
        std::lock_guard<CThreadMutex> lock(m_Lock);
        m_Notify = nullptr;
        return -error.code().value();
    }
    return 0;
}

// No event reaches the subscriber once this returns; requests under way on
// other threads give up at once.
void UsbmuxLibrary::unsubscribe() {
    m_Stop = true;
    m_Stopping.notify();
    if (m_Watcher.joinable()) m_Watcher.join();
    std::lock_guard<CThreadMutex> lock(m_Lock);
    m_Notify = nullptr;
    for (const auto& [handle, attachment] : m_Attached) end(attachment);
    m_Attached.clear();
}

void UsbmuxLibrary::end(const Attachment& attachment) {
    if (attachment.gone) attachment.gone->notify();
}

std::shared_ptr<Wakeup> UsbmuxLibrary::cancelOf(std::uint32_t handle) {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    const auto found = m_Attached.find(handle);
    return found != m_Attached.end() ? found->second.gone : nullptr;
}

void UsbmuxLibrary::watch(const std::string& address) {
    std::chrono::seconds retry{1};
    bool absent = false;
    while (!m_Stop) {
        std::string error;
        UsbmuxConnection connection = UsbmuxConnection::open(address, m_Stopping.fd(), requestDeadline(), error);
        if (m_Stop) break;
        if (!connection.isOpen()) {
            // No daemon (yet): looked for again every second, said once.
            if (!absent) {
                CLogger::error("USB: usbmuxd is not running (%s: %s); tablets plugged in by cable are served once it "
                               "starts",
                               address.c_str(), error.c_str());
            }
            absent = true;
            m_Daemon = Daemon::Absent;
            retry = std::chrono::seconds(1);
        } else if (!listen(connection, error)) {
            CLogger::error("USB: usbmuxd at %s did not take the subscription (%s); asking again in %lld s",
                           address.c_str(), error.c_str(), static_cast<long long>(retry.count()));
            retry = std::min(retry * 2, kMaxRetry);
        } else {
            if (absent) CLogger::info("USB: usbmuxd answers at %s", address.c_str());
            absent = false;
            m_Daemon = Daemon::Answers;
            const std::uint64_t since = Clock::nowSeconds();
            follow(connection);
            forgetDevices();
            const bool steady = Clock::nowSeconds() - since >= kSteadySeconds;
            if (!steady && !m_Stop) {
                CLogger::error("USB: usbmuxd at %s ended the subscription at once; asking again in %lld s",
                               address.c_str(), static_cast<long long>(retry.count()));
            }
            retry = steady ? std::chrono::seconds(1) : std::min(retry * 2, kMaxRetry);
            if (steady) continue;  // a daemon that restarts is looked for at once
        }
        if (!pauseFor(retry)) break;
    }
}

bool UsbmuxLibrary::listen(UsbmuxConnection& connection, std::string& error) {
    const std::uint32_t tag = nextTag();
    if (!connection.send(usbmux::listenRequest(tag), m_Stopping.fd(), requestDeadline())) {
        error = "no request could be sent";
        return false;
    }
    const std::optional<usbmux::Reply> reply = connection.replyTo(tag, m_Stopping.fd(), requestDeadline());
    if (!reply || reply->kind != usbmux::Reply::Kind::Result) {
        error = "no answer";
        return false;
    }
    if (reply->number != usbmux::kResultOk) {
        error = "result " + std::to_string(reply->number);
        return false;
    }
    return true;
}

void UsbmuxLibrary::follow(UsbmuxConnection& connection) {
    while (const std::optional<usbmux::Reply> event = connection.receive(m_Stopping.fd(), std::nullopt)) {
        if (event->kind == usbmux::Reply::Kind::Attached) attached(event->device);
        if (event->kind == usbmux::Reply::Kind::Detached) detached(event->device.handle);
    }
}

// The notifications only queue the event (the subscriber's promise): they
// are given under the lock, so that none comes after unsubscribe.
void UsbmuxLibrary::attached(const UsbDevice& device) {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    if (m_Attached.count(device.handle) == 0 && m_Attached.size() >= kMaxDevices) {
        if (LogBudget::take(LogBudget::Kind::UsbDevices)) {
            CLogger::error("USB: usbmuxd reports more than %zu devices; device %u ignored", kMaxDevices,
                           static_cast<unsigned>(device.handle));
        }
        return;
    }
    std::shared_ptr<Wakeup> gone;
    try {
        gone = std::make_shared<Wakeup>();
    } catch (const std::exception&) {
        // Without a descriptor of its own, only a stop cancels its waits.
    }
    if (const auto known = m_Attached.find(device.handle); known != m_Attached.end()) end(known->second);
    m_Attached[device.handle] = {device, std::move(gone)};
    if (m_Notify) m_Notify(kAttached, device);
}

void UsbmuxLibrary::detached(std::uint32_t handle) {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    const auto found = m_Attached.find(handle);
    if (found == m_Attached.end()) return;
    const UsbDevice device = found->second.device;
    end(found->second);
    m_Attached.erase(found);
    if (m_Notify) m_Notify(kDetached, device);
}

void UsbmuxLibrary::forgetDevices() {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    for (const auto& [handle, attachment] : m_Attached) {
        end(attachment);
        if (m_Notify) m_Notify(kDetached, attachment.device);
    }
    m_Attached.clear();
}

bool UsbmuxLibrary::pauseFor(std::chrono::seconds pause) {
    const std::uint64_t until =
        Clock::nowNanoseconds() + static_cast<std::uint64_t>(pause.count()) * 1'000'000'000ull;
    while (!m_Stop && Clock::nowNanoseconds() < until) {
        pollfd stopping{m_Stopping.fd(), POLLIN, 0};
        poll(&stopping, 1, static_cast<int>(Clock::pauseStep(until).count()));
    }
    return !m_Stop;
}

int UsbmuxLibrary::connectDevice(const UsbDevice& device) {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    return m_Attached.count(device.handle) != 0 ? 0 : -ENODEV;
}

// The device's signal is held for the whole request, so that it outlives
// the waits even when the device goes meanwhile.
std::optional<usbmux::Reply> UsbmuxLibrary::request(const std::function<std::string(std::uint32_t)>& build,
                                                    UsbmuxConnection& connection, std::string& error,
                                                    std::uint32_t handle) {
    const std::shared_ptr<Wakeup> gone = cancelOf(handle);
    const int cancel = gone ? gone->fd() : m_Stopping.fd();
    const auto deadline = requestDeadline();
    connection = UsbmuxConnection::open(UsbmuxConnection::daemonAddress(), cancel, deadline, error);
    if (!connection.isOpen()) return std::nullopt;
    const std::uint32_t tag = nextTag();
    if (!connection.send(build(tag), cancel, deadline)) return std::nullopt;
    return connection.replyTo(tag, cancel, deadline);
}

int UsbmuxLibrary::validatePairing(const UsbDevice& device) {
    UsbmuxConnection connection;
    std::string error;
    const auto reply =
        request([&](std::uint32_t tag) { return usbmux::pairRecordRequest(tag, device.identifier); }, connection, error,
                device.handle);
    if (!reply) return -ECONNREFUSED;
    if (reply->kind == usbmux::Reply::Kind::PairRecord) return 0;
    if (reply->kind == usbmux::Reply::Kind::Result && reply->number != usbmux::kResultOk) {
        return static_cast<int>(std::min<std::uint64_t>(reply->number, 0x7fffffff));
    }
    return -EPROTO;
}

int UsbmuxLibrary::connectToPort(std::uint32_t connectionId, std::uint16_t port, int& socket) {
    socket = 0;
    UsbmuxConnection connection;
    std::string error;
    const auto reply =
        request([&](std::uint32_t tag) { return usbmux::connectRequest(tag, connectionId, port); }, connection, error,
                connectionId);
    if (!reply) return -ECONNREFUSED;
    if (reply->kind != usbmux::Reply::Kind::Result) return -EPROTO;
    if (reply->number != usbmux::kResultOk) return static_cast<int>(std::min<std::uint64_t>(reply->number, 0x7fffffff));
    socket = connection.release().release();
    return 0;
}

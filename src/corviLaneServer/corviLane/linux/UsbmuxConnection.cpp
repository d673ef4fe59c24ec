#include "UsbmuxConnection.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kDefaultAddress = "/var/run/usbmuxd";
constexpr const char* kUnixPrefix = "UNIX:";

// The daemon's socket address, or false when the text names none.
bool resolve(const std::string& address, sockaddr_storage& storage, socklen_t& length) {
    storage = {};
    const bool unixPath = address.rfind(kUnixPrefix, 0) == 0 || address.find(':') == std::string::npos;
    if (unixPath) {
        const std::string path = address.rfind(kUnixPrefix, 0) == 0 ? address.substr(std::strlen(kUnixPrefix)) : address;
        auto& local = reinterpret_cast<sockaddr_un&>(storage);
        if (path.empty() || path.size() >= sizeof local.sun_path) return false;
        local.sun_family = AF_UNIX;
        std::memcpy(local.sun_path, path.c_str(), path.size() + 1);
        length = sizeof local;
        return true;
    }
    const std::size_t colon = address.rfind(':');
    std::string host = address.substr(0, colon);
    const std::string port = address.substr(colon + 1);
    char* end = nullptr;
    const long number = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || number < 1 || number > 65535) return false;
    if (host == "localhost") host = "127.0.0.1";
    auto& inet = reinterpret_cast<sockaddr_in&>(storage);
    if (inet_pton(AF_INET, host.c_str(), &inet.sin_addr) != 1) return false;
    inet.sin_family = AF_INET;
    inet.sin_port = htons(static_cast<std::uint16_t>(number));
    length = sizeof inet;
    return true;
}

int millisecondsUntil(std::optional<UsbmuxConnection::Deadline> deadline) {
    if (!deadline) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, 60'000));
}

}  // namespace

std::string UsbmuxConnection::daemonAddress() {
    const char* configured = std::getenv("USBMUXD_SOCKET_ADDRESS");
    return configured != nullptr && *configured != '\0' ? configured : kDefaultAddress;
}

UsbmuxConnection UsbmuxConnection::open(const std::string& address, int cancel, Deadline deadline, std::string& error) {
    UsbmuxConnection connection;
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (!resolve(address, storage, length)) {
        error = "\"" + address + "\" is not a socket address";
        return connection;
    }
    connection.m_Socket.reset(socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!connection.m_Socket) {
        error = std::strerror(errno);
        return connection;
    }
    const int fd = connection.m_Socket.get();
    if (connect(fd, reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
        if (errno != EINPROGRESS && errno != EAGAIN) {
            error = std::strerror(errno);
            connection.m_Socket.reset();
            return connection;
        }
        int failure = 0;
        socklen_t size = sizeof failure;
        if (!connection.wait(POLLOUT, cancel, deadline) || getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &size) != 0 ||
            failure != 0) {
            error = failure != 0 ? std::strerror(failure) : "no answer";
            connection.m_Socket.reset();
        }
    }
    return connection;
}

bool UsbmuxConnection::wait(short events, int cancel, std::optional<Deadline> deadline) const {
    while (true) {
        pollfd watched[2] = {{m_Socket.get(), events, 0}, {cancel, POLLIN, 0}};
        const int ready = poll(watched, cancel >= 0 ? 2 : 1, millisecondsUntil(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || (watched[1].revents & POLLIN) != 0) return false;
        return (watched[0].revents & (events | POLLHUP | POLLERR)) != 0;
    }
}

bool UsbmuxConnection::send(const std::string& message, int cancel, Deadline deadline) {
    for (std::size_t done = 0; done < message.size();) {
        const ssize_t sent = ::send(m_Socket.get(), message.data() + done, message.size() - done, MSG_NOSIGNAL);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait(POLLOUT, cancel, deadline)) return false;
        } else {
            return false;
        }
    }
    return true;
}

std::optional<usbmux::Reply> UsbmuxConnection::receive(int cancel, std::optional<Deadline> deadline) {
    while (isOpen()) {
        usbmux::Reply reply;
        const usbmux::MessageReader::State state = m_Reader.next(reply);
        if (state == usbmux::MessageReader::State::Ready) return reply;
        if (state == usbmux::MessageReader::State::Broken || !wait(POLLIN, cancel, deadline)) break;
        char buffer[4096];
        const std::size_t wanted = std::clamp<std::size_t>(m_Reader.missing(), 1, sizeof buffer);
        const ssize_t got = recv(m_Socket.get(), buffer, wanted, 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (got <= 0) break;
        m_Reader.append(buffer, static_cast<std::size_t>(got));
    }
    return std::nullopt;
}

std::optional<usbmux::Reply> UsbmuxConnection::replyTo(std::uint32_t tag, int cancel, Deadline deadline) {
    while (std::optional<usbmux::Reply> reply = receive(cancel, deadline)) {
        if (reply->tag == tag) return reply;
    }
    return std::nullopt;
}

// Small frames go out at once: Nagle's delay off (a daemon reached over
// TCP; on its Unix socket the option does not apply).
sockets::Descriptor UsbmuxConnection::release() {
    if (m_Socket) {
        sockets::setBlocking(m_Socket.get());
        sockets::setNoDelay(m_Socket.get());
    }
    return std::move(m_Socket);
}

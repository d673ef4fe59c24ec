#include "SocketUtil.h"

#include "FrameWriter.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace sockets {

void Descriptor::reset(int fd) {
    if (m_Fd >= 0) close(m_Fd);
    m_Fd = fd;
}

Descriptor tcpSocket() { return Descriptor(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP)); }

Descriptor udpSocket() { return Descriptor(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)); }

bool bindTo(int fd, std::uint32_t address, std::uint16_t port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(address);
    where.sin_port = htons(port);
    return bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
}

std::uint16_t localPort(int fd) {
    sockaddr_in where{};
    socklen_t length = sizeof where;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length) != 0) return 0;
    return ntohs(where.sin_port);
}

sockaddr_in loopbackAddress(std::uint16_t port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    where.sin_port = htons(port);
    return where;
}

Descriptor listenLoopback(std::uint16_t port, int backlog) {
    Descriptor listening = tcpSocket();
    const int on = 1;
    setsockopt(listening.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (!listening || !bindTo(listening.get(), INADDR_LOOPBACK, port) || listen(listening.get(), backlog) != 0) {
        return {};
    }
    return listening;
}

Descriptor connectLoopback(std::uint16_t port) {
    Descriptor connection = tcpSocket();
    const sockaddr_in where = loopbackAddress(port);
    if (!connection || connect(connection.get(), reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0) {
        return {};
    }
    setNoDelay(connection.get());
    return connection;
}

void setNoDelay(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool setNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool setBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

void setSendTimeout(int fd, int seconds) {
    const timeval timeout{seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

void setKeepAlive(int fd, int idleSeconds, int intervalSeconds, int count) {
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

bool sendFrame(int fd, const char* payload, std::size_t length) {
    if (fd < 0) return false;
    const FrameWriter::Header header = FrameWriter::header(length);
    std::array<iovec, 2> parts = FrameWriter::parts(header, {payload, length});
    msghdr message{};
    message.msg_iov = parts.data();
    message.msg_iovlen = parts.size();
    std::size_t left = header.size() + length;
    while (left > 0) {
        const ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        left -= static_cast<std::size_t>(sent);
        // Skip what went out: the header first, then the payload.
        auto done = static_cast<std::size_t>(sent);
        while (done > 0 && message.msg_iovlen > 0) {
            iovec& first = message.msg_iov[0];
            const std::size_t step = std::min(done, first.iov_len);
            first.iov_base = static_cast<char*>(first.iov_base) + step;
            first.iov_len -= step;
            done -= step;
            if (first.iov_len == 0) {
                ++message.msg_iov;
                --message.msg_iovlen;
            }
        }
    }
    return true;
}

std::string dotted(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return text;
}

}  // namespace sockets

#include "SocketUtil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace sockets {

void Descriptor::reset(int fd) {
    if (m_Fd >= 0) close(m_Fd);
    m_Fd = fd;
}

Descriptor tcpSocket() { return Descriptor(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP)); }

Descriptor udpSocket() { return Descriptor(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)); }

sockaddr_in ipv4Address(std::uint32_t address, std::uint16_t port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(address);
    where.sin_port = htons(port);
    return where;
}

bool bindTo(int fd, std::uint32_t address, std::uint16_t port) {
    const sockaddr_in where = ipv4Address(address, port);
    return bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0;
}

std::uint16_t localPort(int fd) {
    sockaddr_in where{};
    socklen_t length = sizeof where;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length) != 0) return 0;
    return ntohs(where.sin_port);
}

sockaddr_in loopbackAddress(std::uint16_t port) { return ipv4Address(INADDR_LOOPBACK, port); }

void setNoDelay(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void setReuseAddress(int fd) {
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

bool setNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool setBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

void setKeepAlive(int fd, int idleSeconds, int intervalSeconds, int count) {
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

void setUserTimeout(int fd, unsigned milliseconds) {
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &milliseconds, sizeof milliseconds);
}

void setNotSentLowWater(int fd, int bytes) {
    setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &bytes, sizeof bytes);
}

long unsentBytes(int fd) {
    int unsent = 0;
    return ioctl(fd, SIOCOUTQNSD, &unsent) == 0 ? unsent : -1;
}


std::string dotted(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return text;
}

}  // namespace sockets

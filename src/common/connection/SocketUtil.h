#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

// The socket set-up that the listeners and the script connection share. Addresses and ports are in host byte order.
namespace sockets {

// An owned descriptor, closed when the object goes.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : m_Fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept : m_Fd(std::exchange(other.m_Fd, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) reset(std::exchange(other.m_Fd, -1));
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return m_Fd; }
    bool valid() const { return m_Fd >= 0; }
    explicit operator bool() const { return valid(); }
    int release() { return std::exchange(m_Fd, -1); }
    void reset(int fd = -1);

private:
    int m_Fd = -1;
};

Descriptor tcpSocket();
Descriptor udpSocket();
// Binds to `address`:`port` (port 0: the system chooses). False on failure.
bool bindTo(int fd, std::uint32_t address, std::uint16_t port);
// The port the socket is bound to, or 0 when it cannot be learnt.
std::uint16_t localPort(int fd);

sockaddr_in loopbackAddress(std::uint16_t port);
sockaddr_in ipv4Address(std::uint32_t address, std::uint16_t port);

void setNoDelay(int fd);
// Lets a listener bind its port again while connections of an earlier one
// linger (TIME_WAIT); never lets two listeners share a port.
void setReuseAddress(int fd);
bool setNonBlocking(int fd);
bool setBlocking(int fd);
// Keep-alive probes after `idleSeconds` of silence, `count` of them
// `intervalSeconds` apart, before the connection counts as lost.
void setKeepAlive(int fd, int idleSeconds, int intervalSeconds, int count);
// Data the peer has not acknowledged for this long ends the connection.
void setUserTimeout(int fd, unsigned milliseconds);
// The kernel keeps at most about this many bytes not yet sent: what waits
// beyond them stays with us, where a later, more urgent frame can pass it.
void setNotSentLowWater(int fd, int bytes);
// The bytes the kernel holds for a TCP stream that it has not sent yet; -1
// where it cannot tell (not a TCP socket).
long unsentBytes(int fd);

// The dotted IPv4 address of `address`.
std::string dotted(const sockaddr_in& address);

}  // namespace sockets

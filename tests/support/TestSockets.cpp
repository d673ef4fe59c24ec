#include "TestSockets.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace sockets {

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

void setSendTimeout(int fd, int seconds) {
    const timeval timeout{seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

}  // namespace sockets

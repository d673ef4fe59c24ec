#include "TestSockets.h"

#include "FrameWriter.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <cerrno>

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

}  // namespace sockets

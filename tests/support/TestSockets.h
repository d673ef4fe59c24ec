#pragma once

#include "SocketUtil.h"

#include <cstdint>

// Socket set-up that only the tests, the simulated peers and the benchmarks
// need, beside the server's own (SocketUtil).
namespace sockets {

// A TCP socket listening on 127.0.0.1:port (0: any free port), with address
// reuse; invalid when that fails.
Descriptor listenLoopback(std::uint16_t port, int backlog = 64);
// A blocking TCP connection to 127.0.0.1:port with Nagle's delay off;
// invalid when nothing accepts it.
Descriptor connectLoopback(std::uint16_t port);
void setSendTimeout(int fd, int seconds);

}  // namespace sockets

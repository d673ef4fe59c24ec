#pragma once

#include "SocketUtil.h"
#include "UsbmuxProtocol.h"

#include <chrono>
#include <optional>
#include <string>

// One connection to the usbmux daemon: its socket, never blocking, and the
// messages read from it. Every wait also watches a cancel descriptor (made
// readable when the server stops) and has a deadline, so that no daemon, be
// it slow, silent or hostile, can hold a thread.
class UsbmuxConnection {
public:
    using Deadline = std::chrono::steady_clock::time_point;

    // Where the daemon listens: USBMUXD_SOCKET_ADDRESS ("UNIX:/path" or
    // "address:port" with a numeric IPv4 address or localhost), else
    // /var/run/usbmuxd.
    static std::string daemonAddress();

    // Connects to the daemon; a closed connection, with `error` set, when
    // that fails (no daemon, no descriptor left, cancelled, too slow).
    static UsbmuxConnection open(const std::string& address, int cancel, Deadline deadline, std::string& error);

    bool isOpen() const { return m_Socket.valid(); }
    // Writes the whole message; false when the daemon does not take it.
    bool send(const std::string& message, int cancel, Deadline deadline);
    // The next message; nothing when the connection ended, broke, was
    // cancelled or the deadline (none: wait as long as it takes) passed.
    std::optional<usbmux::Reply> receive(int cancel, std::optional<Deadline> deadline);
    // The reply to the request of `tag`, skipping events pushed meanwhile.
    std::optional<usbmux::Reply> replyTo(std::uint32_t tag, int cancel, Deadline deadline);
    // Hands the socket over (a stream to a device), blocking again.
    sockets::Descriptor release();

private:
    // Waits for `events` on the socket: false when cancelled, timed out or failed.
    bool wait(short events, int cancel, std::optional<Deadline> deadline) const;

    sockets::Descriptor m_Socket;
    usbmux::MessageReader m_Reader;
};

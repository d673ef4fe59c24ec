#pragma once

#include "UsbDeviceLibrary.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The usbmux daemon's protocol, without any I/O. Every message, both ways, is
// a 16-byte little-endian header (total length, protocol version 1, message
// type 8 for a property list, tag) followed by an XML property list. A client
// tags its requests; the daemon answers with the same tag and pushes its
// device events with tag 0.
namespace usbmux {

constexpr std::size_t kHeaderSize = 16;
// Far more than any message of the daemon (a pair record is a few KiB).
constexpr std::size_t kMaxMessageSize = 256 * 1024;
// Result numbers of the protocol.
constexpr std::uint64_t kResultOk = 0;

// Requests, ready to be written.
std::string listenRequest(std::uint32_t tag);
// `port` in host order: the request carries it in network order.
std::string connectRequest(std::uint32_t tag, std::uint32_t deviceId, std::uint16_t port);
std::string pairRecordRequest(std::uint32_t tag, const std::string& udid);

// What one message from the daemon says.
struct Reply {
    enum class Kind {
        Result,      // `number`: the answer to a request (0: done)
        PairRecord,  // the answer to a pair-record request that found one
        Attached,    // `device` was plugged in
        Detached,    // the device of `device.handle` went
        Other,       // anything else (a "Paired" event, say): nothing to do
    };
    Kind kind = Kind::Other;
    std::uint32_t tag = 0;
    std::uint64_t number = 0;
    UsbDevice device;
};

// Cuts the bytes received from the daemon into messages. A header that is
// not a property-list message of sane size, or a body that is not a
// well-formed dictionary, breaks the stream for good: nothing after it can be
// trusted.
class MessageReader {
public:
    enum class State { NeedMore, Ready, Broken };

    // Bytes still missing from the message under way (its header first):
    // reading no more than this never takes bytes that follow the message,
    // such as a device's stream after the answer to "Connect".
    std::size_t missing() const;
    void append(const char* bytes, std::size_t count);
    // The next whole message, when one has arrived.
    State next(Reply& reply);

private:
    std::string m_Buffer;
    bool m_Broken = false;
};

}  // namespace usbmux

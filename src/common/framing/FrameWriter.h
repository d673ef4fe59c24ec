#pragma once

#include "FrameHeader.h"

#include <sys/uio.h>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

// Builds frames for writing, without doing any I/O itself: the header for a
// payload, header and payload as one buffer, or as two iovecs for one
// gathering write.
class FrameWriter {
public:
    using Header = std::array<unsigned char, FrameHeader::kSize>;

    // The payload that starts a group of messages: an empty OSC bundle with
    // the time tag 1 ("immediately"), 16 bytes.
    static constexpr char kEmptyBundle[16] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 1};

    // The header of an OSC frame carrying `payloadLength` bytes.
    static Header header(std::size_t payloadLength);
    // Header and payload in one buffer.
    static std::string frame(std::string_view payload);
    // `header` (which must outlive the iovecs) and the payload, in order.
    static std::array<iovec, 2> parts(const Header& header, std::string_view payload);
};

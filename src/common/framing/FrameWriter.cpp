#include "FrameWriter.h"

FrameWriter::Header FrameWriter::header(std::size_t payloadLength) {
    Header bytes{};
    FrameHeader{static_cast<std::uint32_t>(payloadLength)}.encode(bytes.data());
    return bytes;
}

std::string FrameWriter::frame(std::string_view payload) {
    const Header head = header(payload.size());
    std::string bytes(reinterpret_cast<const char*>(head.data()), head.size());
    bytes.append(payload);
    return bytes;
}

std::array<iovec, 2> FrameWriter::parts(const Header& header, std::string_view payload) {
    return {iovec{const_cast<unsigned char*>(header.data()), header.size()},
            iovec{const_cast<char*>(payload.data()), payload.size()}};
}

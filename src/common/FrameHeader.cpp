#include "FrameHeader.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstring>

namespace {

std::uint32_t readWord(const unsigned char* bytes) {
    std::uint32_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    return ntohl(word);
}

void writeWord(unsigned char* bytes, std::uint32_t value) {
    const std::uint32_t word = htonl(value);
    std::memcpy(bytes, &word, sizeof word);
}

}  // namespace

FrameHeader FrameHeader::decode(const unsigned char* bytes) {
    return FrameHeader{readWord(bytes), readWord(bytes + 4), readWord(bytes + 8)};
}

void FrameHeader::encode(unsigned char* bytes) const {
    writeWord(bytes, length);
    writeWord(bytes + 4, type);
    writeWord(bytes + 8, reserved);
}

bool FrameHeader::sendFrame(int socket, const char* payload, std::size_t length) {
    if (length > kMaxSentPayload || socket <= 0) return false;
    unsigned char header[kSize];
    FrameHeader{static_cast<std::uint32_t>(length)}.encode(header);
    // Header and payload leave in one call, so the kernel sees the frame as
    // one write and it never interleaves with another writer's frame.
    iovec parts[2] = {{header, kSize}, {const_cast<char*>(payload), length}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = length > 0 ? 2 : 1;
    const ssize_t sent = sendmsg(socket, &message, MSG_NOSIGNAL);
    return sent == static_cast<ssize_t>(kSize + length);
}

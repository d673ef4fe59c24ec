#include "FrameHeader.h"

#include <arpa/inet.h>

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

std::uint32_t FrameHeader::decodeLength(const unsigned char* bytes) { return readWord(bytes); }

void FrameHeader::encode(unsigned char* bytes) const {
    writeWord(bytes, length);
    writeWord(bytes + 4, type);
    writeWord(bytes + 8, reserved);
}

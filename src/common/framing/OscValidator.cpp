#include "OscValidator.h"

#include <arpa/inet.h>

#include <cstdint>
#include <array>
#include <bit>
#include <cstring>

namespace {

constexpr char kBundleTag[8] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', '\0'};
constexpr std::size_t kBundleHeader = 16;  // "#bundle\0" and the 64-bit time tag

bool aligned(std::size_t size) { return size % 4 == 0; }

std::size_t padded(std::size_t size) { return (size + 3) & ~std::size_t{3}; }

std::uint32_t word(const char* at) {
    return ntohl(std::bit_cast<std::uint32_t>(std::array<char, 4>{at[0], at[1], at[2], at[3]}));
}

// The padded length of the string that starts at `at`, or 0 when it is not
// terminated and zero-padded to a multiple of 4 within `available` bytes.
// The padding must be zeros: oscpack looks for the end of a string only in
// the last byte of each 4-byte word, so a string with other bytes after its
// terminator would be read to a different length than it has here.
std::size_t stringLength(const char* at, std::size_t available) {
    const void* terminator = std::memchr(at, '\0', available);
    if (terminator == nullptr) return 0;
    const std::size_t text = static_cast<std::size_t>(static_cast<const char*>(terminator) - at);
    const std::size_t length = padded(text + 1);
    if (length > available) return 0;
    for (std::size_t i = text + 1; i < length; ++i) {
        if (at[i] != '\0') return 0;
    }
    return length;
}

// The number of argument bytes that the type tag needs at `at`, or -1 when
// they do not fit in `available` bytes or the tag is unknown.
long argumentLength(char tag, const char* at, std::size_t available) {
    std::size_t needed = 0;
    switch (tag) {
        case 'i': case 'f': case 'c': case 'r': case 'm':
            needed = 4;
            break;
        case 'h': case 't': case 'd':
            needed = 8;
            break;
        case 'T': case 'F': case 'N': case 'I': case '[': case ']':
            return 0;
        case 's': case 'S': {
            const std::size_t length = stringLength(at, available);
            return length == 0 ? -1 : static_cast<long>(length);
        }
        case 'b': {
            if (available < 4) return -1;
            const std::uint32_t blob = word(at);
            if (blob > INT32_MAX) return -1;  // a negative size
            needed = 4 + padded(blob);
            break;
        }
        default:
            return -1;
    }
    return needed <= available ? static_cast<long>(needed) : -1;
}

bool validArguments(const char* tags, const char* arguments, std::size_t available) {
    int arrayDepth = 0;
    for (const char* tag = tags; *tag != '\0'; ++tag) {
        if (*tag == '[') ++arrayDepth;
        if (*tag == ']' && --arrayDepth < 0) return false;
        const long length = argumentLength(*tag, arguments, available);
        if (length < 0) return false;
        arguments += length;
        available -= static_cast<std::size_t>(length);
    }
    return arrayDepth == 0;
}

}  // namespace

bool OscValidator::isValidPacket(const char* data, std::size_t size) {
    if (data == nullptr || size == 0) return false;
    return data[0] == '#' ? isValidBundle(data, size) : isValidMessage(data, size);
}

bool OscValidator::isValidMessage(const char* data, std::size_t size) {
    if (size == 0 || !aligned(size)) return false;
    const std::size_t address = stringLength(data, size);
    if (address == 0) return false;
    if (address == size) return true;  // an address alone: no type tags, no arguments
    const char* tags = data + address;
    if (tags[0] != ',') return false;
    const std::size_t tagLength = stringLength(tags, size - address);
    if (tagLength == 0) return false;
    return validArguments(tags + 1, tags + tagLength, size - address - tagLength);
}

bool OscValidator::isValidBundle(const char* data, std::size_t size, int depth) {
    if (depth > kMaxDepth || size < kBundleHeader || !aligned(size)) return false;
    if (std::memcmp(data, kBundleTag, sizeof kBundleTag) != 0) return false;
    std::size_t at = kBundleHeader;
    while (at < size) {
        if (size - at < 4) return false;
        const std::uint32_t element = word(data + at);
        at += 4;
        if (element == 0 || !aligned(element) || element > size - at) return false;
        const char* contents = data + at;
        const bool valid = contents[0] == '#' ? isValidBundle(contents, element, depth + 1)
                                              : isValidMessage(contents, element);
        if (!valid) return false;
        at += element;
    }
    return true;
}

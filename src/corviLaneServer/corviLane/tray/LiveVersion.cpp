#include "LiveVersion.h"

#include "PlistLimits.h"

#include <plist/plist.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Text up to the first "." and after it; the whole text for both when it has none.
std::pair<std::string, std::string> splitFirstDot(const std::string& text) {
    const std::size_t dot = text.find('.');
    if (dot == std::string::npos) return {text, text};
    return {text.substr(0, dot), text.substr(dot + 1)};
}

std::uint32_t littleEndian32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// VS_VERSIONINFO: wLength, wValueLength (52), wType, the UTF-16 key
// "VS_VERSION_INFO" with its terminator (32 bytes), padding to 4 bytes, then
// VS_FIXEDFILEINFO: signature, structure version, file version (2 words),
// product version (2 words), ...
constexpr std::size_t kKeyBytes = 32;
constexpr std::size_t kSignatureAfterKey = 34;
constexpr std::size_t kProductVersionAfterKey = kSignatureAfterKey + 16;
constexpr std::uint32_t kSignature = 0xFEEF04BD;
constexpr unsigned kFixedInfoSize = 52;
static_assert(6 + kProductVersionAfterKey + 8 <= kVersionBlockReach);

constexpr std::array<unsigned char, kKeyBytes> versionInfoKey() {
    constexpr char kKey[] = "VS_VERSION_INFO";
    std::array<unsigned char, kKeyBytes> key{};
    for (std::size_t i = 0; i < sizeof kKey; ++i) key[2 * i] = static_cast<unsigned char>(kKey[i]);
    return key;
}

}  // namespace

LiveVersion LiveVersion::parse(const std::string& text) {
    LiveVersion version;
    std::string rest;
    std::tie(version.majorText, rest) = splitFirstDot(text);
    std::tie(version.subText, rest) = splitFirstDot(rest);
    version.minorText = splitFirstDot(rest).first;
    version.major = leadingInt(version.majorText);
    version.sub = leadingInt(version.subText);
    version.minor = leadingInt(version.minorText);
    return version;
}

long long LiveVersion::combined() const { return major * 100LL + sub * 10LL + minor; }

bool LiveVersion::outdated() const {
    return major < 8 || (major == 8 && sub <= 3) || (major == 9 && sub <= 6 && minor <= 4);
}

int leadingInt(const std::string& text) {
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

std::optional<std::string> bundleVersion(const std::string& infoPlist) {
    if (infoPlist.empty() || infoPlist.size() > UINT32_MAX) return std::nullopt;
    // Checked before libplist parses it: deep nesting would overflow its stack.
    if (!plistWithinLimits(infoPlist)) return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(infoPlist.data(), static_cast<std::uint32_t>(infoPlist.size()), &root);
    const std::unique_ptr<void, void (*)(plist_t)> owner(root, plist_free);
    if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) return std::nullopt;
    const plist_t value = plist_dict_get_item(root, "CFBundleShortVersionString");
    if (value == nullptr || plist_get_node_type(value) != PLIST_STRING) return std::nullopt;
    // Not plist_get_string_val: it aborts on a string holding a NUL byte.
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(value, &length);
    if (text == nullptr) return std::nullopt;
    return std::string(text, strnlen(text, length));
}

std::optional<std::string> productVersion(const char* data, std::size_t size) {
    static constexpr auto kKey = versionInfoKey();
    const auto* begin = reinterpret_cast<const unsigned char*>(data);
    const auto* end = begin + size;
    for (auto* key = std::search(begin, end, kKey.begin(), kKey.end()); key != end;
         key = std::search(key + 1, end, kKey.begin(), kKey.end())) {
        const std::size_t offset = static_cast<std::size_t>(key - begin);
        if (offset < 6 || size - offset < kProductVersionAfterKey + 8) continue;
        const unsigned valueLength = key[-4] | (key[-3] << 8);
        if (valueLength != kFixedInfoSize || littleEndian32(key + kSignatureAfterKey) != kSignature) continue;
        const std::uint32_t high = littleEndian32(key + kProductVersionAfterKey);
        const std::uint32_t low = littleEndian32(key + kProductVersionAfterKey + 4);
        return std::to_string(high >> 16) + "." + std::to_string(high & 0xFFFF) + "." +
               std::to_string(low >> 16);
    }
    return std::nullopt;
}

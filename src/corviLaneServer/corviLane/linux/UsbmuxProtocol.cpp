#include "UsbmuxProtocol.h"

#include "PlistLimits.h"

#include <arpa/inet.h>
#include <endian.h>
#include <plist/plist.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace usbmux {

namespace {

constexpr std::uint32_t kPlistVersion = 1;
constexpr std::uint32_t kPlistMessage = 8;
// What the daemon needs to know of its client.
constexpr const char* kProgramName = "corvilane-server";
constexpr const char* kClientVersion = "corviLane";
constexpr std::uint64_t kLibraryVersion = 3;

using Plist = std::unique_ptr<void, void (*)(plist_t)>;

Plist dictionary() { return Plist(plist_new_dict(), plist_free); }

void putLittleEndian(char* at, std::uint32_t value) {
    value = htole32(value);
    std::memcpy(at, &value, sizeof value);
}

std::uint32_t littleEndianAt(const char* at) {
    const auto* byte = reinterpret_cast<const unsigned char*>(at);
    return byte[0] | (byte[1] << 8) | (byte[2] << 16) | (static_cast<std::uint32_t>(byte[3]) << 24);
}

// A request of `type` with the fields every request carries; the caller adds its own.
Plist request(const char* type) {
    Plist dict = dictionary();
    plist_dict_set_item(dict.get(), "MessageType", plist_new_string(type));
    plist_dict_set_item(dict.get(), "ProgName", plist_new_string(kProgramName));
    plist_dict_set_item(dict.get(), "ClientVersionString", plist_new_string(kClientVersion));
    plist_dict_set_item(dict.get(), "kLibUSBMuxVersion", plist_new_uint(kLibraryVersion));
    return dict;
}

std::string message(std::uint32_t tag, const Plist& body) {
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(body.get(), &xml, &length);
    const std::unique_ptr<char, void (*)(char*)> owner(xml, plist_to_xml_free);
    std::string bytes(kHeaderSize, '\0');
    putLittleEndian(bytes.data(), static_cast<std::uint32_t>(kHeaderSize + length));
    putLittleEndian(bytes.data() + 4, kPlistVersion);
    putLittleEndian(bytes.data() + 8, kPlistMessage);
    putLittleEndian(bytes.data() + 12, tag);
    if (xml != nullptr) bytes.append(xml, length);
    return bytes;
}

// The text of a string item, empty when it is missing or not a string. A NUL
// inside ends it.
std::string text(plist_t dict, const char* key) {
    const plist_t item = plist_dict_get_item(dict, key);
    if (item == nullptr || plist_get_node_type(item) != PLIST_STRING) return {};
    std::uint64_t length = 0;
    const char* value = plist_get_string_ptr(item, &length);
    return value != nullptr ? std::string(value, strnlen(value, length)) : std::string();
}

std::uint64_t number(plist_t dict, const char* key) {
    const plist_t item = plist_dict_get_item(dict, key);
    std::uint64_t value = 0;
    if (item != nullptr && plist_get_node_type(item) == PLIST_UINT) plist_get_uint_val(item, &value);
    return value;
}

plist_t dictionaryItem(plist_t dict, const char* key) {
    const plist_t item = plist_dict_get_item(dict, key);
    return item != nullptr && plist_get_node_type(item) == PLIST_DICT ? item : nullptr;
}

// USB and Wi-Fi sync, as the daemon names them; 0 for anything else.
int connectionKind(const std::string& type) {
    if (type == "USB") return 1;
    if (type == "Network") return 2;
    return 0;
}

UsbDevice attachedDevice(plist_t event) {
    UsbDevice device;
    device.handle = static_cast<std::uint32_t>(number(event, "DeviceID"));
    if (const plist_t properties = dictionaryItem(event, "Properties")) {
        device.productId = static_cast<std::uint32_t>(number(properties, "ProductID"));
        device.lockdown = connectionKind(text(properties, "ConnectionType"));
        device.identifier = text(properties, "SerialNumber");
    }
    return device;
}

Reply interpret(plist_t body, std::uint32_t tag) {
    Reply reply;
    reply.tag = tag;
    const std::string type = text(body, "MessageType");
    if (type == "Result") {
        reply.kind = Reply::Kind::Result;
        reply.number = number(body, "Number");
    } else if (type == "Attached") {
        reply.kind = Reply::Kind::Attached;
        reply.device = attachedDevice(body);
    } else if (type == "Detached") {
        reply.kind = Reply::Kind::Detached;
        reply.device.handle = static_cast<std::uint32_t>(number(body, "DeviceID"));
    } else if (type.empty() && plist_dict_get_item(body, "PairRecordData") != nullptr) {
        reply.kind = Reply::Kind::PairRecord;
    }
    return reply;
}

}  // namespace

std::string listenRequest(std::uint32_t tag) { return message(tag, request("Listen")); }

std::string connectRequest(std::uint32_t tag, std::uint32_t deviceId, std::uint16_t port) {
    Plist body = request("Connect");
    plist_dict_set_item(body.get(), "DeviceID", plist_new_uint(deviceId));
    plist_dict_set_item(body.get(), "PortNumber", plist_new_uint(htons(port)));
    return message(tag, body);
}

std::string pairRecordRequest(std::uint32_t tag, const std::string& udid) {
    Plist body = request("ReadPairRecord");
    plist_dict_set_item(body.get(), "PairRecordID", plist_new_string(udid.c_str()));
    return message(tag, body);
}

std::size_t MessageReader::missing() const {
    if (m_Buffer.size() < kHeaderSize) return kHeaderSize - m_Buffer.size();
    const std::size_t length = std::clamp<std::size_t>(littleEndianAt(m_Buffer.data()), kHeaderSize, kMaxMessageSize);
    return length > m_Buffer.size() ? length - m_Buffer.size() : 0;
}

void MessageReader::append(const char* bytes, std::size_t count) {
    if (m_Broken) return;
    // Never more than one message and the header of the next is kept.
    if (m_Buffer.size() + count > 2 * kMaxMessageSize) {
        m_Broken = true;
        return;
    }
    m_Buffer.append(bytes, count);
}

MessageReader::State MessageReader::next(Reply& reply) {
    if (m_Broken) return State::Broken;
    if (m_Buffer.size() < kHeaderSize) return State::NeedMore;
    const std::uint32_t length = littleEndianAt(m_Buffer.data());
    if (length < kHeaderSize || length > kMaxMessageSize || littleEndianAt(m_Buffer.data() + 4) != kPlistVersion ||
        littleEndianAt(m_Buffer.data() + 8) != kPlistMessage) {
        m_Broken = true;
        return State::Broken;
    }
    if (m_Buffer.size() < length) return State::NeedMore;
    const std::string_view body(m_Buffer.data() + kHeaderSize, length - kHeaderSize);
    plist_t parsed = nullptr;
    if (plistWithinLimits(body)) plist_from_memory(body.data(), static_cast<std::uint32_t>(body.size()), &parsed);
    const Plist owner(parsed, plist_free);
    if (parsed == nullptr || plist_get_node_type(parsed) != PLIST_DICT) {
        m_Broken = true;
        return State::Broken;
    }
    reply = interpret(parsed, littleEndianAt(m_Buffer.data() + 12));
    m_Buffer.erase(0, length);
    return State::Ready;
}

}  // namespace usbmux

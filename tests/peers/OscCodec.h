#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// Builds and reads OSC packets for assertions in tests.
namespace osctest {

struct Blob {
    std::vector<char> bytes;
    bool operator==(const Blob&) const = default;
};

using Argument = std::variant<std::int32_t, float, std::string, bool, Blob>;

struct Message {
    std::string address;
    std::vector<Argument> arguments;
    bool operator==(const Message&) const = default;
};

// One message, or every message of a (possibly nested) bundle in order.
struct Packet {
    bool isBundle = false;
    std::uint64_t timeTag = 0;
    std::vector<Message> messages;
};

std::string encode(const Message& message);
// A bundle holding the given encoded elements (messages or bundles).
std::string bundle(const std::vector<std::string>& elements, std::uint64_t timeTag = 1);
// Parses a packet the server sent; nothing when it is not valid OSC.
std::optional<Packet> decode(const std::string& payload);

}  // namespace osctest

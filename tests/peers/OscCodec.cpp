#include "OscCodec.h"

#include <arpa/inet.h>

#include <oscpack/osc/OscOutboundPacketStream.h>
#include <oscpack/osc/OscReceivedElements.h>

#include <cstring>

namespace osctest {

namespace {

void append(osc::OutboundPacketStream& out, const Argument& argument) {
    std::visit(
        [&](const auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, Blob>) {
                out << osc::Blob(value.bytes.data(), static_cast<osc::osc_bundle_element_size_t>(value.bytes.size()));
            } else if constexpr (std::is_same_v<T, std::string>) {
                out << value.c_str();
            } else {
                out << value;
            }
        },
        argument);
}

Message readMessage(const osc::ReceivedMessage& received) {
    Message message{received.AddressPattern(), {}};
    for (auto arg = received.ArgumentsBegin(); arg != received.ArgumentsEnd(); ++arg) {
        if (arg->IsInt32()) message.arguments.emplace_back(arg->AsInt32());
        else if (arg->IsFloat()) message.arguments.emplace_back(arg->AsFloat());
        else if (arg->IsString()) message.arguments.emplace_back(std::string(arg->AsString()));
        else if (arg->IsBool()) message.arguments.emplace_back(arg->AsBool());
        else if (arg->IsBlob()) {
            const void* data = nullptr;
            osc::osc_bundle_element_size_t size = 0;
            arg->AsBlob(data, size);
            const char* bytes = static_cast<const char*>(data);
            message.arguments.emplace_back(Blob{std::vector<char>(bytes, bytes + size)});
        }
    }
    return message;
}

void readBundle(const osc::ReceivedBundle& bundle, Packet& packet) {
    for (auto element = bundle.ElementsBegin(); element != bundle.ElementsEnd(); ++element) {
        if (element->IsBundle()) readBundle(osc::ReceivedBundle(*element), packet);
        else packet.messages.push_back(readMessage(osc::ReceivedMessage(*element)));
    }
}

}  // namespace

std::string encode(const Message& message) {
    std::vector<char> buffer(1 << 20);
    osc::OutboundPacketStream out(buffer.data(), buffer.size());
    out << osc::BeginMessage(message.address.c_str());
    for (const auto& argument : message.arguments) append(out, argument);
    out << osc::EndMessage;
    return std::string(out.Data(), out.Size());
}

std::string bundle(const std::vector<std::string>& elements, std::uint64_t timeTag) {
    std::string packet("#bundle\0", 8);
    for (int shift = 56; shift >= 0; shift -= 8) packet += static_cast<char>((timeTag >> shift) & 0xff);
    for (const auto& element : elements) {
        const std::uint32_t size = htonl(static_cast<std::uint32_t>(element.size()));
        packet.append(reinterpret_cast<const char*>(&size), 4);
        packet += element;
    }
    return packet;
}

std::optional<Packet> decode(const std::string& payload) {
    try {
        const osc::ReceivedPacket received(payload.data(), payload.size());
        Packet packet;
        if (received.IsBundle()) {
            const osc::ReceivedBundle bundle(received);
            packet.isBundle = true;
            packet.timeTag = bundle.TimeTag();
            readBundle(bundle, packet);
        } else {
            packet.messages.push_back(readMessage(osc::ReceivedMessage(received)));
        }
        return packet;
    } catch (const osc::Exception&) {
        return std::nullopt;
    }
}

}  // namespace osctest

#include "RelayPeers.h"

#include <sys/socket.h>

#include <oscpack/osc/OscOutboundPacketStream.h>
#include <oscpack/osc/OscReceivedElements.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace relay {

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string stamped(const char* address, std::int64_t stamp, std::int32_t sequence, const std::string& filler) {
    std::vector<char> buffer(filler.size() + 256);
    osc::OutboundPacketStream out(buffer.data(), buffer.size());
    out << osc::BeginMessage(address) << osc::int64(stamp) << osc::int32(sequence) << filler.c_str()
        << osc::EndMessage;
    return std::string(out.Data(), out.Size());
}

bool decode(std::string_view payload, Stamp& stamp) {
    try {
        const osc::ReceivedPacket packet(payload.data(), static_cast<osc::osc_bundle_element_size_t>(payload.size()));
        if (packet.IsBundle()) return false;
        const osc::ReceivedMessage received(packet);
        stamp.address = received.AddressPattern();
        if (!stamp.address.starts_with("/bench/")) return true;
        auto argument = received.ArgumentsBegin();
        stamp.stamp = (argument++)->AsInt64();
        stamp.sequence = argument->AsInt32();
        return true;
    } catch (const osc::Exception&) {
        return false;
    }
}

void Arrivals::take(std::string_view payload) {
    if (payload.starts_with("/server/pong")) ++pongs;
    Stamp stamp;
    if (!decode(payload, stamp) || !stamp.address.starts_with("/bench/")) return;
    lastLatency = nowNs() - stamp.stamp;
    lastSequence = stamp.sequence;
}

Script::Script() : peer(9008, [this](const std::string& payload) { arrivals.take(payload); }) {
    if (!peer.listening()) {
        std::perror("listen");
        std::exit(1);
    }
    peer.answerPings({300, 9008, 0, 0, 0});
}

Receiver::~Receiver() {
    shutdown(m_Tablet.socket(), SHUT_RD);
    m_Thread.join();
}

void Receiver::run() {
    while (m_Tablet.receive()) {
        while (const std::optional<std::string_view> payload = m_Tablet.receivedPayload()) arrivals.take(*payload);
    }
}

std::unique_ptr<SimulatedTablet> tablet(std::uint16_t port, bool confirm, int receiveBuffer) {
    auto ipad = std::make_unique<SimulatedTablet>(port, receiveBuffer);
    if (!ipad->connected()) {
        std::perror("connect");
        std::exit(1);
    }
    if (confirm) {
        ipad->sendMessage({"/server/ping", {1}});
        ipad->waitFor("/server/pong", std::chrono::seconds(60));
    }
    return ipad;
}

Percentiles percentiles(std::vector<std::int64_t> samples) {
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2] / 1000.0, samples[samples.size() * 99 / 100] / 1000.0};
}

}  // namespace relay

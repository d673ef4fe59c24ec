#include "OscPacketDispatcher.h"

#include "Logger.h"
#include "OscValidator.h"

#include <exception>

bool OscPacketDispatcher::ProcessPacket(const char* data, std::size_t size, const sockaddr_in& origin,
                                        std::string* error) {
    // oscpack trusts the sizes inside a packet; only validated bytes reach it.
    if (!OscValidator::isValidPacket(data, size)) {
        if (error != nullptr) *error = "malformed packet";
        return false;
    }
    try {
        const osc::ReceivedPacket packet(data, size);
        if (packet.IsBundle()) {
            ProcessBundle(osc::ReceivedBundle(packet), origin);
        } else {
            ProcessMessage(ReceivedOscMessage(packet), origin);
        }
        return true;
    } catch (const osc::Exception& exception) {
        // Argument errors too: a message without the arguments its handler
        // reads is dropped like a malformed one.
        if (error != nullptr) *error = exception.what();
        return false;
    } catch (const std::exception& exception) {
        // A shortage while handling it (memory, threads): the packet is lost,
        // the connection and the server go on.
        CLogger::error("Dropped a packet: %s", exception.what());
        if (error != nullptr) *error = exception.what();
        return false;
    }
}

void OscPacketDispatcher::ProcessBundle(const osc::ReceivedBundle& bundle, const sockaddr_in& origin) {
    BundleStart(bundle, origin);
    for (auto element = bundle.ElementsBegin(); element != bundle.ElementsEnd(); ++element) {
        if (element->IsBundle()) {
            ProcessBundle(osc::ReceivedBundle(*element), origin);
        } else {
            ProcessMessage(ReceivedOscMessage(*element), origin);
        }
    }
    BundleEnd(bundle, origin);
}

void OscPacketDispatcher::BundleStart(const osc::ReceivedBundle&, const sockaddr_in&) {}

void OscPacketDispatcher::BundleEnd(const osc::ReceivedBundle&, const sockaddr_in&) {}

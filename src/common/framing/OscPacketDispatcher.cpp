#include "OscPacketDispatcher.h"

#include "Logger.h"
#include "OscValidator.h"

#include <exception>

bool OscPacketDispatcher::ProcessPacket(const char* data, std::size_t size, std::string* error) {
    // oscpack trusts the sizes inside a packet; only validated bytes reach it.
    if (!OscValidator::isValidPacket(data, size)) {
        if (error != nullptr) *error = "malformed packet";
        return false;
    }
    try {
        const osc::ReceivedPacket packet(data, size);
        if (packet.IsBundle()) {
            ProcessBundle(osc::ReceivedBundle(packet));
        } else {
            ProcessMessage(ReceivedOscMessage(packet));
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

void OscPacketDispatcher::ProcessBundle(const osc::ReceivedBundle& bundle) {
    BundleStart(bundle);
    for (auto element = bundle.ElementsBegin(); element != bundle.ElementsEnd(); ++element) {
        if (element->IsBundle()) {
            ProcessBundle(osc::ReceivedBundle(*element));
        } else {
            ProcessMessage(ReceivedOscMessage(*element));
        }
    }
    BundleEnd(bundle);
}

void OscPacketDispatcher::BundleStart(const osc::ReceivedBundle&) {}

void OscPacketDispatcher::BundleEnd(const osc::ReceivedBundle&) {}

#pragma once

#include "ReceivedOscMessage.h"

#include <cstddef>
#include <string>

// Parses received OSC packets and hands their parts to the hooks: a message to
// ProcessMessage; a bundle to BundleStart, then each element in order (nested
// bundles the same way), then BundleEnd. A packet that fails validation, or
// whose handling raises a parsing or argument error, is dropped.
class OscPacketDispatcher {
public:
    virtual ~OscPacketDispatcher() = default;

    // Returns false when the packet was dropped as malformed; `error` then
    // says why.
    bool ProcessPacket(const char* data, std::size_t size, std::string* error = nullptr);

protected:
    virtual void ProcessBundle(const osc::ReceivedBundle& bundle);
    virtual void BundleStart(const osc::ReceivedBundle& bundle);
    virtual void ProcessMessage(const ReceivedOscMessage& message) = 0;
    virtual void BundleEnd(const osc::ReceivedBundle& bundle);
};

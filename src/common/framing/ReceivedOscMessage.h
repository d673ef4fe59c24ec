#pragma once

#include <oscpack/osc/OscReceivedElements.h>

#include <cstddef>

// A received OSC message that also keeps its complete encoded bytes, so that
// it can be forwarded exactly as it arrived. For a message taken from a bundle
// the bytes are the element's, without its size prefix.
class ReceivedOscMessage : public osc::ReceivedMessage {
public:
    explicit ReceivedOscMessage(const osc::ReceivedPacket& packet)
        : osc::ReceivedMessage(packet), m_Data(packet.Contents()),
          m_Size(static_cast<std::size_t>(packet.Size())) {}

    explicit ReceivedOscMessage(const osc::ReceivedBundleElement& element)
        : osc::ReceivedMessage(element), m_Data(element.Contents()),
          m_Size(static_cast<std::size_t>(element.Size())) {}

    const char* EncodedData() const { return m_Data; }
    std::size_t EncodedSize() const { return m_Size; }

private:
    const char* m_Data;
    std::size_t m_Size;
};

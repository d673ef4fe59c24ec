// Arbitrary bytes as the usbmux daemon's side of a connection, cut into
// receives at points the fuzzer chooses: every message is read and
// interpreted as the server does, until the stream breaks.
#include "UsbmuxProtocol.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <vector>

volatile std::size_t sink;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    usbmux::MessageReader reader;
    while (input.remaining_bytes() > 0) {
        const std::size_t wanted = input.ConsumeIntegralInRange<std::size_t>(1, 4096);
        const std::vector<char> received = input.ConsumeBytes<char>(wanted);
        if (received.empty()) break;
        reader.append(received.data(), received.size());
        usbmux::Reply reply;
        usbmux::MessageReader::State state;
        while ((state = reader.next(reply)) == usbmux::MessageReader::State::Ready) {
            sink = sink + static_cast<std::size_t>(reply.kind) + reply.device.identifier.size() + reply.number;
        }
        if (state == usbmux::MessageReader::State::Broken) return 0;
    }
    return 0;
}

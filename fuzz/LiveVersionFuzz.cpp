// Arbitrary bytes as an Info.plist (XML or binary), as an executable holding a
// version block, and as a version text, each read and checked as the installer does.
#include "LiveVersion.h"

#include <cstdint>

volatile long long sink;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    for (const auto& text : {bundleVersion(bytes), productVersion(bytes.data(), size), std::optional(bytes)}) {
        if (text) sink = LiveVersion::parse(*text).combined() + LiveVersion::parse(*text).outdated();
    }
    return 0;
}

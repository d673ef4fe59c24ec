// Feeds arbitrary bytes to the installer's readers of files found on disk: an
// Info.plist (XML or binary), an executable's fixed version block, and the
// version text they yield, split and checked as the installer does.
#include "LiveVersion.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {
volatile long long sink;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    for (const auto& text : {bundleVersion(bytes), productVersion(bytes.data(), bytes.size()),
                             std::optional<std::string>(bytes)}) {
        if (!text) continue;
        const LiveVersion version = LiveVersion::parse(*text);
        sink = version.combined() + version.outdated();
    }
    return 0;
}

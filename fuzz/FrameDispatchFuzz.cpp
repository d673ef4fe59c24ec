// Feeds arbitrary bytes to the frame reader, as a stream would deliver them,
// and hands every frame it yields to a tablet session's and to the script
// connection's packet handling: every message's arguments are read by type,
// then each handles the message as the server does.
#include "AbletonClientTCP.h"
#include "BaseClientThread.h"
#include "FrameReader.h"
#include "Logger.h"
#include "Platform.h"
#include "WaveformAnalyzer.h"

#include "FakeRoles.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

void readEveryArgument(const osc::ReceivedMessage& message) {
    volatile std::uint64_t sink = message.ArgumentCount();
    for (auto arg = message.ArgumentsBegin(); arg != message.ArgumentsEnd(); ++arg) {
        switch (arg->TypeTag()) {
            case 'i': sink = sink + static_cast<std::uint64_t>(arg->AsInt32()); break;
            case 'f': sink = sink + static_cast<std::uint64_t>(arg->AsFloat() != 0); break;
            case 'c': sink = sink + static_cast<std::uint64_t>(arg->AsChar()); break;
            case 'r': sink = sink + arg->AsRgbaColor(); break;
            case 'm': sink = sink + arg->AsMidiMessage(); break;
            case 'h': sink = sink + static_cast<std::uint64_t>(arg->AsInt64()); break;
            case 't': sink = sink + arg->AsTimeTag(); break;
            case 'd': sink = sink + static_cast<std::uint64_t>(arg->AsDouble() != 0); break;
            case 's': sink = sink + std::char_traits<char>::length(arg->AsString()); break;
            case 'S': sink = sink + std::char_traits<char>::length(arg->AsSymbol()); break;
            case 'T': case 'F': sink = sink + arg->AsBool(); break;
            case '[': sink = sink + arg->ComputeArrayItemCount(); break;
            case 'b': {
                const void* data = nullptr;
                osc::osc_bundle_element_size_t size = 0;
                arg->AsBlob(data, size);
                if (size > 0) sink = sink + static_cast<const unsigned char*>(data)[size - 1];
                break;
            }
            default: break;
        }
    }
}

class FuzzSession : public BaseClientThread {
public:
    explicit FuzzSession(FakeRoles& roles) : BaseClientThread(roles.peers()) {}
    bool Init() override { return true; }
    void PerformDisconnect() override { Stop(); }
    void Finalize() override {}

protected:
    void ProcessMessage(const ReceivedOscMessage& message) override {
        readEveryArgument(message);
        BaseClientThread::ProcessMessage(message);
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    CLogger::init("/dev/null", 0);
    CLogger::setLogLevel(CLogger::kDebug);
    std::freopen("/dev/null", "w", stdout);  // the console lines
    return 0;
}

// The stream is cut into receives at points the fuzzer chooses: the
// reader's smallest receive and each receive's size are taken from the end
// of the input, the bytes from the front, so that a frame boundary can fall
// at every place in the reader's buffer, its last bytes included (a small
// smallest receive keeps the buffer close to the frame's own size).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    FakeRoles links;
    links.status.version = 300;
    ScriptState state;
    state.setVersion(300);
    FuzzSession session(links);
    AbletonClientTCP script(state, links, links, links, nullptr);
    FrameReader reader(input.ConsumeIntegralInRange<std::size_t>(1, 8192));
    while (input.remaining_bytes() > 0) {
        const std::span<char> space = reader.space();
        const std::size_t wanted = input.ConsumeIntegralInRange<std::size_t>(1, space.size());
        const std::vector<char> received = input.ConsumeBytes<char>(wanted);
        if (received.empty()) break;
        std::memcpy(space.data(), received.data(), received.size());
        reader.commit(received.size());
        for (auto next = reader.next(); next.event != FrameReader::Event::NeedMore; next = reader.next()) {
            if (next.event == FrameReader::Event::LengthError) return 0;
            if (next.event != FrameReader::Event::Frame) continue;
            session.ProcessPacket(next.payload.data(), next.payload.size());
            script.ProcessPacket(next.payload.data(), next.payload.size());
        }
    }
    return 0;
}

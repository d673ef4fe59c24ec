// Feeds arbitrary bytes to a tablet session's stream and lets it read frames
// and dispatch their packets; every message's arguments are read by type,
// then the session handles the message as the server does.
#include "BaseClientThread.h"
#include "Logger.h"
#include "RegistryLinks.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace {

class FuzzSession : public BaseClientThread {
public:
    // The rest of the server as the registry wires it: here, nothing is there.
    explicit FuzzSession(int socket) : BaseClientThread(RegistryLinks::instance()) {
        m_Socket = socket;
        b_Running = true;
    }
    bool Init() override { return true; }
    void PerformDisconnect() override { b_Running = false; }
    void Finalize() override { closeSocket(); }

protected:
    void ProcessMessage(const ReceivedOscMessage& message, const sockaddr_in& origin) override {
        readEveryArgument(message);
        // Then the server's own handling, replies and all.
        BaseClientThread::ProcessMessage(message, origin);
    }

private:
    static void readEveryArgument(const osc::ReceivedMessage& message) {
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
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    CLogger::init("/dev/null", 0);
    CLogger::setLogLevel(CLogger::kDebug);
    std::freopen("/dev/null", "w", stdout);  // the session's console lines
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 0;
    const int buffer = 1 << 20;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    if (size > 0) (void)!write(pair[0], data, size);
    close(pair[0]);  // the session reads to the end of the stream
    FuzzSession session(pair[1]);
    session.Work();
    return 0;
}

#include "ScriptProtocol.h"

#include "Clock.h"
#include "ConsoleTrace.h"
#include "WaveformQueue.h"

#include <oscpack/osc/OscOutboundPacketStream.h>

namespace {

constexpr std::size_t kReplySize = 4096;
// The first pong after this long a silence asks for the script's full state.
constexpr std::uint64_t kFullStateAfterSeconds = 999;

// A message of one or two int32 arguments, as one frame.
OutboundQueue::Frame intMessage(const char* address, int value1, int value2, int count) {
    char buffer[kReplySize];
    osc::OutboundPacketStream out(buffer, sizeof buffer);
    out << osc::BeginMessage(address) << osc::int32(value1);
    if (count > 1) out << osc::int32(value2);
    out << osc::EndMessage;
    return OutboundQueue::frame(out.Data(), out.Size());
}

template <class Context>
unsigned toTablets(Context& context, const ReceivedOscMessage& message) {
    context.tablets.toConnected(OutboundQueue::frame(message.EncodedData(), message.EncodedSize()), nullptr);
    return kSentToTablets;
}

unsigned ignore(DatagramContext&, const ReceivedOscMessage&) { return kSentNowhere; }

// "/bundle/start": the tablets' loading start, to the confirmed sessions.
unsigned loadingStarts(ScriptContext& context, const ReceivedOscMessage&) {
    context.tablets.toConnected(intMessage("/app/loading/start", 0, 0, 2), nullptr);
    return kSentToTablets;
}

// "/bundle/end": the tablets' loading end, to every session.
unsigned loadingEnds(ScriptContext& context, const ReceivedOscMessage&) {
    context.tablets.toEvery(intMessage("/app/loading/end", 0, 0, 2));
    return kSentToTablets;
}

unsigned refresh(ScriptContext& context, const ReceivedOscMessage&) {
    context.script.StartLoad();
    return kSentToScript;
}

unsigned portChanged(ScriptContext& context, const ReceivedOscMessage& message) {
    if (message.ArgumentCount() >= 1) context.state.setPort(message.ArgumentsBegin()->AsInt32());
    return kSentNowhere;
}

unsigned simplerWaveform(ScriptContext& context, const ReceivedOscMessage& message) {
    if (context.waveforms != nullptr) context.waveforms->simpler(message);
    return kSentNowhere;
}

unsigned clipWaveform(ScriptContext& context, const ReceivedOscMessage& message) {
    if (context.waveforms != nullptr) context.waveforms->clip(message);
    return kSentNowhere;
}

unsigned consoleTrace(ScriptContext& context, const ReceivedOscMessage& message) {
    printConsoleTrace("SCRIPT PRINTF", message);
    return toTablets(context, message);
}

// The pong's steps run in order, each only when the pong has the arguments
// it needs; an argument that is not an int32 ends the handling there.
unsigned pong(ScriptContext& context, const ReceivedOscMessage& message) {
    const std::uint64_t now = Clock::nowSeconds();
    const auto count = message.ArgumentCount();
    auto argument = message.ArgumentsBegin();
    auto next = [&argument] { return (argument++)->AsInt32(); };
    if (count >= 1) context.state.setVersion(next());
    if (count >= 2) context.state.setPort(next());
    // A pong too short for the whole triple leaves it as it was.
    if (count >= 5) context.state.setInfo({next(), next(), next()});
    if (count >= 6 && next() == 0) context.tablets.toEvery(intMessage("/update_listeners", 1, 0, 1));
    if (count >= 7) {
        context.tablets.toEvery(intMessage(next() == 0 ? "/not_received_midi_cmd" : "/has_received_midi_cmd", 1, 0, 1));
    }
    const std::uint64_t lastPong = context.state.ponged(now);
    if (now >= lastPong && now - lastPong >= kFullStateAfterSeconds) context.script.StartLoad();
    return kSentNowhere;
}

// A datagram's pong only reports the port: the script's availability and
// version are the stream's pongs' business.
unsigned datagramPong(DatagramContext& context, const ReceivedOscMessage& message) {
    if (message.ArgumentCount() < 2) return kSentNowhere;
    auto argument = message.ArgumentsBegin();
    ++argument;
    const int port = argument->AsInt32();
    if (port != context.reportedPort) {
        context.reportedPort = port;
        context.state.setPort(port);
    }
    return kSentNowhere;
}

unsigned datagramConsoleTrace(DatagramContext& context, const ReceivedOscMessage& message) {
    printConsoleTrace("NSLOG SCRIPT", message);
    return toTablets(context, message);
}

}  // namespace

const RouteTable<ScriptContext>& ScriptProtocol::stream() {
    static const RouteTable<ScriptContext> table(
        {
            {"/bundle/start", loadingStarts},
            {"/bundle/end", loadingEnds},
            {"/server/refresh", refresh},
            {"/script/pong", pong},
            {"/script/port_changed", portChanged},
            {"/device/simpler/reset_waveform", simplerWaveform},
            {"/clip/reset_waveform", clipWaveform},
            {"/NSLOG_REPLACE", consoleTrace},
        },
        toTablets<ScriptContext>);
    return table;
}

const RouteTable<DatagramContext>& ScriptProtocol::datagrams() {
    static const RouteTable<DatagramContext> table(
        {
            {"/script/pong", datagramPong},
            {"/NSLOG_REPLACE", datagramConsoleTrace},
        },
        ignore);
    return table;
}

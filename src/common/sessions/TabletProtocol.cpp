#include "TabletProtocol.h"

#include "Console.h"
#include "Logger.h"

#include <oscpack/osc/OscOutboundPacketStream.h>

namespace {

constexpr std::size_t kReplySize = 4096;

// "/server/pong": script version, the server's version, script available,
// the script's info triple, Live running.
void sendPong(TabletContext& context) {
    const ScriptStatus script = context.peers.status.scriptStatus();
    char buffer[kReplySize];
    osc::OutboundPacketStream pong(buffer, sizeof buffer);
    pong << osc::BeginMessage("/server/pong") << osc::int32(script.version) << osc::int32(TabletProtocol::kServerVersion)
         << osc::int32(script.available ? 1 : 0) << osc::int32(script.info[0]) << osc::int32(script.info[1])
         << osc::int32(script.info[2]) << osc::int32(context.peers.status.liveRunning() ? 1 : 0) << osc::EndMessage;
    context.session.reply(pong.Data(), pong.Size());
}

// "/server/ping" [state]: 1 confirms the session, -1 unconfirms it, -2 drops
// the stream; a pong answers every ping.
unsigned serverPing(TabletContext& context, const ReceivedOscMessage& message) {
    if (message.ArgumentCount() >= 1) {
        const int state = message.ArgumentsBegin()->AsInt32();
        if (state == 1) {
            context.session.setConfirmed(true);
            Console::print("server/ping with %d - b_Connected = TRUE, device_name: %s \n", state,
                           context.session.name().c_str());
        } else if (state == -1) {
            context.session.setConfirmed(false);
        } else if (state == -2) {
            context.session.dropStream();
        }
    }
    sendPong(context);
    return kSentNowhere;
}

// "/app/pong" [1]: the tablet is alive; with 1 it also wants the full state.
unsigned appPong(TabletContext& context, const ReceivedOscMessage& message) {
    context.session.answered();
    const auto first = message.ArgumentsBegin();
    if (message.ArgumentCount() >= 1 && first->IsInt32() && first->AsInt32() == 1) context.peers.script.StartLoad();
    return kSentNowhere;
}

// "/midi" status data [data]: the low byte of each, as one MIDI message.
unsigned midi(TabletContext& context, const ReceivedOscMessage& message) {
    unsigned char bytes[3] = {0, 0, 0};
    int count = 2;
    if (message.ArgumentCount() >= 2) {
        auto argument = message.ArgumentsBegin();
        bytes[0] = static_cast<unsigned char>(argument->AsInt32() & 0xff);
        bytes[1] = static_cast<unsigned char>((++argument)->AsInt32() & 0xff);
        if (message.ArgumentCount() >= 3) {
            bytes[2] = static_cast<unsigned char>((++argument)->AsInt32() & 0xff);
            count = 3;
        }
    }
    context.peers.cues.tabletMidi(bytes, count);
    return kSentNowhere;
}

// "/server/state": script available, Wi-Fi sessions, USB sessions.
unsigned getState(TabletContext& context, const ReceivedOscMessage&) {
    const bool available = context.peers.status.scriptStatus().available;
    const SessionCounts sessions = context.peers.roster.counts();
    char buffer[kReplySize];
    osc::OutboundPacketStream state(buffer, sizeof buffer);
    state << osc::BeginMessage("/server/state") << available << osc::int32(static_cast<int>(sessions.wifi))
          << osc::int32(static_cast<int>(sessions.usb)) << osc::EndMessage;
    context.session.reply(state.Data(), state.Size());
    return kSentNowhere;
}

unsigned reload(TabletContext& context, const ReceivedOscMessage&) {
    context.peers.script.StartLoad();
    return kSentNowhere;
}

// Any tablet may end the server; the log says which one did.
unsigned shutdown(TabletContext& context, const ReceivedOscMessage&) {
    CLogger::warn("Shutdown asked for by \"/server/shutdown\" from %s", context.session.peerName().c_str());
    context.peers.service.requestShutdown();
    return kSentNowhere;
}

unsigned disconnect(TabletContext& context, const ReceivedOscMessage&) {
    context.session.end();
    return kSentNowhere;
}

// To the Live script, then to every other confirmed tablet.
unsigned broadcast(TabletContext& context, const ReceivedOscMessage& message) {
    context.peers.script.TransmitMessage(message);
    context.peers.tablets.toConnected(OutboundQueue::frame(message.EncodedData(), message.EncodedSize()),
                                      &context.session);
    return kSentToScript | kSentToTablets;
}

// "/device_name" name: remembered; answered with "/host_name", the
// computer's name as the tablets know it, and an empty string.
unsigned deviceName(TabletContext& context, const ReceivedOscMessage& message) {
    context.session.setName(message.ArgumentsBegin()->AsString());
    char buffer[kReplySize];
    osc::OutboundPacketStream reply(buffer, sizeof buffer);
    reply << osc::BeginMessage("/host_name") << context.peers.hostName.c_str() << "" << osc::EndMessage;
    context.session.reply(reply.Data(), reply.Size());
    return kSentNowhere;
}

unsigned toScript(TabletContext& context, const ReceivedOscMessage& message) {
    context.peers.script.TransmitMessage(message);
    return kSentToScript;
}

}  // namespace

// "/broadcast" matches every address that begins with it.
const RouteTable<TabletContext>& TabletProtocol::routes() {
    using Table = RouteTable<TabletContext>;
    static const Table table(
        {
            {"/server/ping", serverPing},
            {"/app/pong", appPong},
            {"/midi", midi},
            {"/server/getstate", getState},
            {"/server/reload", reload},
            {"/server/shutdown", shutdown},
            {"/disconnect", disconnect},
            {"/broadcast", broadcast, Table::Match::Prefix},
            {"/device_name", deviceName},
        },
        toScript);
    return table;
}

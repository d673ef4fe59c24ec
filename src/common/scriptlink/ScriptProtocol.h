#pragma once

#include "RelayTypes.h"
#include "RouteTable.h"
#include "ScriptSink.h"
#include "ScriptState.h"
#include "TabletSink.h"

class WaveformQueue;

// What the script's messages act on.
struct ScriptContext {
    ScriptState& state;
    TabletSink& tablets;
    ScriptSink& script;
    WaveformQueue* waveforms = nullptr;  // null: waveform requests go unanswered
};

// What the script's datagrams act on.
struct DatagramContext {
    ScriptState& state;
    TabletSink& tablets;
    // The port the script's datagrams reported last.
    int reportedPort = ScriptState::kBasePort;
};

// The Live script's vocabulary: on its stream, the messages the server
// consumes (pong, port report, refresh, waveform requests, loading brackets)
// and the rule that every other message goes to the confirmed tablets
// unchanged; on its datagrams, port reports and console lines, nothing else.
class ScriptProtocol {
public:
    static const RouteTable<ScriptContext>& stream();
    static const RouteTable<DatagramContext>& datagrams();
};

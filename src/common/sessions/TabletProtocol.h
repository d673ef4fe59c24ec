#pragma once

#include "Cues.h"
#include "RelayTypes.h"
#include "RouteTable.h"
#include "ScriptSink.h"
#include "ScriptStatusSource.h"
#include "ServiceControl.h"
#include "TabletRoster.h"
#include "TabletSession.h"
#include "TabletSink.h"

#include <string>

// What a tablet's session reaches beyond itself, handed to every session.
struct TabletPeers {
    ScriptSink& script;
    TabletSink& tablets;
    TabletRoster& roster;
    ScriptStatusSource& status;
    Cues& cues;
    ServiceControl& service;
    // What "/host_name" answers: the computer's name as the tablets know it.
    std::string hostName;
};

// A tablet's message, as its vocabulary sees it: the session it came on and
// what lies beyond.
struct TabletContext {
    TabletSession& session;
    TabletPeers& peers;
};

// The tablets' vocabulary: the messages the server answers itself, and the
// rule that every other message goes to the Live script unchanged.
class TabletProtocol {
public:
    static constexpr int kServerVersion = 428;

    static const RouteTable<TabletContext>& routes();
};

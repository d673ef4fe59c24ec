#pragma once

#include "ReceivedOscMessage.h"

// To the Live script: what the tablets' traffic and the requests for the
// script's full state write to it. Nothing here waits for the script.
class ScriptSink {
public:
    virtual ~ScriptSink() = default;
    // The message's bytes unchanged, once the script is recent enough.
    virtual void TransmitMessage(const ReceivedOscMessage& message) = 0;
    // Asks the script for its full state, while some tablet is confirmed.
    virtual void StartLoad() = 0;
    // The start of a tablet's bundle (an empty bundle); its end is not signalled.
    virtual void StartBundle() = 0;
    // Whether so much waits for the script that senders able to wait should.
    virtual bool backlogged() = 0;
};

#pragma once

#include "OutboundQueue.h"

#include <functional>

class TabletSession;

// To the tablets: the fan-outs over every session of every kind (Wi-Fi
// first, then USB) and their flow control. A fan-out only queues.
class TabletSink {
public:
    using Frame = OutboundQueue::Frame;
    using Abandoned = std::function<bool()>;

    virtual ~TabletSink() = default;
    // To every confirmed session but `except` (which may be null).
    virtual void toConnected(const Frame& frame, const TabletSession* except) = 0;
    // To every session, confirmed or not.
    virtual void toEvery(const Frame& frame) = 0;
    // The start of a group (an empty bundle), to every session.
    virtual void bundleStart() = 0;
    // Bulk (waveform replies), behind every session's ordinary frames. The
    // producer first waits until every session has room; false when
    // `abandoned` turns true meanwhile.
    virtual bool waitForBulkRoom(const Abandoned& abandoned) = 0;
    virtual void toEveryBulk(const Frame& frame) = 0;
    // Whether a confirmed session other than `except` is backlogged.
    virtual bool backlogged(const TabletSession* except) = 0;
    // Room was made on some stream: the senders waiting for it go on.
    virtual void roomFreed() = 0;
};

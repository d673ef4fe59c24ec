#pragma once

#include <memory>
#include <vector>

class FrameOutlet;

// Wakes held back while one thread queues a run of frames for many sessions
// (the script connection routing what one read brought): each session is
// woken once, at the end, and then writes the whole run in one go instead of
// one frame per wake. Only while a batch is open on the calling thread.
class WakeBatch {
public:
    WakeBatch();
    // Releases every outlet held back.
    ~WakeBatch();
    WakeBatch(const WakeBatch&) = delete;
    WakeBatch& operator=(const WakeBatch&) = delete;

    // Holds the outlet's wake back when a batch is open on this thread;
    // false when none is.
    static bool defer(std::shared_ptr<FrameOutlet> outlet);
    // Releases what is held back now (before work that takes long).
    static void release();
    // Whether a batch is open on the calling thread.
    static bool isOpen();

private:
    std::vector<std::shared_ptr<FrameOutlet>> m_Pending;
    WakeBatch* m_Outer;
};

#pragma once

#include <cstdint>

// One budget for the lines that outside parties make the server log, so that
// no flood from the network, from a local program or from a misbehaving USB
// daemon can roll the log over and wipe out what happened before. Each kind
// of line may come in a burst (the first lines of a flood appear at once,
// with who caused them), then at a steady rate; lines beyond are only
// counted, and once a second each kind's count is told in one line. A flood
// of one kind then writes about 200 bytes a second: a 2 MiB log lasts hours.
class LogBudget {
public:
    enum class Kind {
        Connections,  // Wi-Fi connections, refusals and the sessions' coming and going
        Datagrams,    // what arrives at the script's UDP port
        UsbDevices,   // the usbmux daemon's device events and the USB sessions' steps
        Sessions,     // what a tablet's traffic makes a session log
        Script,       // what the Live script's traffic makes the server log (its queues full)
    };
    static constexpr int kKinds = 5;
    // Lines of one kind written at once after a quiet spell (a few tablets
    // plugged in or connecting together are logged whole) ...
    static constexpr double kBurstLines = 50;
    // ... and steadily: one a second.
    static constexpr double kLinesPerSecond = 1;

    // Whether a line of `kind` may be written now; one that may not is counted.
    static bool take(Kind kind);
    // Tells, in one line a kind, the lines held back: of each kind whose
    // count was last told a second or more ago, or of every kind (`all`: the
    // server stops). Called by the liveness monitor every round.
    static void tellHeldBack(bool all = false);
    // Forgets every count and budget (tests).
    static void resetForTesting();
};

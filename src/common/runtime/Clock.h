#pragma once

#include <chrono>
#include <cstdint>

// The server's one time base: the monotonic clock (which counts from boot) in
// nanoseconds and in whole seconds. Tests move it with advanceForTesting so
// that rules measured in seconds are checked without waiting.
class Clock {
public:
    static std::uint64_t nowNanoseconds();
    static std::uint64_t nowMilliseconds();
    static std::uint64_t nowSeconds();

    // How long a pause that ends at `untilNanoseconds` may sleep before it
    // looks at the clock again: to its end, so that an idle server sleeps,
    // unless tests may move the clock (then a tenth of a second at most).
    static std::chrono::milliseconds pauseStep(std::uint64_t untilNanoseconds);

    // Tests that move the clock say so before anything pauses on it; moving
    // it says so too.
    static void expectTestMoves();
    static void advanceForTesting(std::int64_t seconds);
    static void resetForTesting();
};

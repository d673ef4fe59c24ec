#pragma once

#include <cstdint>

// The server's one time base: the monotonic clock (which counts from boot) in
// nanoseconds and in whole seconds. Tests move it with advanceForTesting so
// that rules measured in seconds are checked without waiting.
class Clock {
public:
    static std::uint64_t nowNanoseconds();
    static std::uint64_t nowSeconds();

    static void advanceForTesting(std::int64_t seconds);
    static void resetForTesting();
};

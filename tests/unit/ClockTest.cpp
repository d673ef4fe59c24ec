#include "Clock.h"

#include <gtest/gtest.h>

#include <time.h>

#include <algorithm>

namespace {

constexpr std::int64_t kBillion = 1'000'000'000;

std::int64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * kBillion + now.tv_nsec;
}

// Each unit the sessions read (nanoseconds, milliseconds, seconds) lies between
// two readings of the monotonic clock moved by `offset` seconds (0 before its
// start): rules timed in any of them see one clock, which a test's step moves.
void expectEveryUnitAt(std::int64_t offset) {
    const std::int64_t before = std::max<std::int64_t>(0, monotonicNanoseconds() + offset * kBillion);
    const std::uint64_t readings[] = {Clock::nowNanoseconds(), Clock::nowMilliseconds(), Clock::nowSeconds()};
    const std::int64_t after = std::max<std::int64_t>(0, monotonicNanoseconds() + offset * kBillion);
    const std::int64_t units[] = {1, 1'000'000, kBillion};
    for (int i = 0; i < 3; ++i) {
        EXPECT_GE(readings[i], static_cast<std::uint64_t>(before / units[i])) << offset << " s, unit " << units[i];
        EXPECT_LE(readings[i], static_cast<std::uint64_t>(after / units[i])) << offset << " s, unit " << units[i];
    }
}

TEST(ClockTest, EveryUnitIsTheMonotonicClockMovedByTheTestsSteps) {
    std::int64_t offset = 0;
    // Forward, back, then to before the clock's start.
    for (const std::int64_t step : {std::int64_t{1000}, std::int64_t{-1001}, -monotonicNanoseconds() / kBillion - 10}) {
        Clock::advanceForTesting(step);
        expectEveryUnitAt(offset += step);
    }
    Clock::resetForTesting();
    expectEveryUnitAt(0);
}

}  // namespace

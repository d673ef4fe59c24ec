#include "Clock.h"

#include <time.h>

#include <algorithm>
#include <atomic>

namespace {

std::atomic<std::int64_t> offsetNanoseconds{0};
std::atomic<bool> testMoves{false};

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
constexpr std::chrono::milliseconds kTestPauseStep{100};

}  // namespace

std::uint64_t Clock::nowNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::int64_t ticks =
        static_cast<std::int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
    const std::int64_t shifted = ticks + offsetNanoseconds.load();
    return shifted < 0 ? 0 : static_cast<std::uint64_t>(shifted);
}

std::uint64_t Clock::nowMilliseconds() { return nowNanoseconds() / 1'000'000; }

std::uint64_t Clock::nowSeconds() {
    return nowNanoseconds() / static_cast<std::uint64_t>(kNanosecondsPerSecond);
}

std::chrono::milliseconds Clock::pauseStep(std::uint64_t untilNanoseconds) {
    const std::uint64_t now = nowNanoseconds();
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        std::chrono::nanoseconds(untilNanoseconds > now ? untilNanoseconds - now : 0));
    return testMoves.load() ? std::min(left, kTestPauseStep) : left;
}

void Clock::expectTestMoves() { testMoves = true; }

void Clock::advanceForTesting(std::int64_t seconds) {
    testMoves = true;
    offsetNanoseconds += seconds * kNanosecondsPerSecond;
}

void Clock::resetForTesting() { offsetNanoseconds = 0; }

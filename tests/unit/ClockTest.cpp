#include "Clock.h"

#include <gtest/gtest.h>

#include <time.h>

namespace {

TEST(ClockTest, WholeSecondsOfTheMonotonicClock) {
    timespec before{};
    clock_gettime(CLOCK_MONOTONIC, &before);
    const std::uint64_t seconds = Clock::nowSeconds();
    timespec after{};
    clock_gettime(CLOCK_MONOTONIC, &after);
    EXPECT_GE(seconds, static_cast<std::uint64_t>(before.tv_sec));
    EXPECT_LE(seconds, static_cast<std::uint64_t>(after.tv_sec));
}

TEST(ClockTest, TestsMoveItWithoutWaiting) {
    const std::uint64_t start = Clock::nowSeconds();
    Clock::advanceForTesting(1000);
    const std::uint64_t later = Clock::nowSeconds();
    EXPECT_GE(later - start, 1000u);
    EXPECT_LE(later - start, 1001u);
    Clock::resetForTesting();
    EXPECT_LT(Clock::nowSeconds() - start, 2u);
}

TEST(ClockTest, NeverGoesBelowZero) {
    Clock::advanceForTesting(-static_cast<std::int64_t>(Clock::nowSeconds()) - 10);
    EXPECT_EQ(Clock::nowSeconds(), 0u);
    Clock::resetForTesting();
}

}  // namespace

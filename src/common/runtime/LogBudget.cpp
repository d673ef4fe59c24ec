#include "LogBudget.h"

#include "Clock.h"
#include "Logger.h"

#include <algorithm>
#include <array>
#include <mutex>

namespace {

struct Budget {
    double tokens = LogBudget::kBurstLines;
    std::uint64_t filledAt = 0;  // nanoseconds of the server's clock
    std::uint64_t held = 0;      // lines counted and not yet told
    std::uint64_t toldAt = 0;
};

constexpr const char* kNames[LogBudget::kKinds] = {"connections", "datagrams to the script's port",
                                                   "USB device events", "tablet sessions",
                                                   "the Live script's messages"};
constexpr const char* kCauses[LogBudget::kKinds] = {"a flood from outside", "a flood from outside",
                                                    "a flood from outside", "a flood from outside",
                                                    "it sends faster than it is answered"};
constexpr std::uint64_t kSecond = 1'000'000'000;

std::mutex& budgetLock() {
    static std::mutex lock;
    return lock;
}

std::array<Budget, LogBudget::kKinds>& budgets() {
    static std::array<Budget, LogBudget::kKinds> all;
    return all;
}

void refill(Budget& budget, std::uint64_t now) {
    if (budget.filledAt == 0 || now < budget.filledAt) budget.filledAt = now;
    const double seconds = static_cast<double>(now - budget.filledAt) / static_cast<double>(kSecond);
    budget.tokens = std::min(LogBudget::kBurstLines, budget.tokens + seconds * LogBudget::kLinesPerSecond);
    budget.filledAt = now;
}

}  // namespace

bool LogBudget::take(Kind kind) {
    const std::uint64_t now = Clock::nowNanoseconds();
    std::lock_guard<std::mutex> lock(budgetLock());
    Budget& budget = budgets()[static_cast<std::size_t>(kind)];
    refill(budget, now);
    if (budget.tokens >= 1) {
        budget.tokens -= 1;
        return true;
    }
    if (budget.held++ == 0) budget.toldAt = now;  // the count's second starts with its first line
    return false;
}

void LogBudget::tellHeldBack(bool all) {
    const std::uint64_t now = Clock::nowNanoseconds();
    std::uint64_t told[kKinds] = {};
    {
        std::lock_guard<std::mutex> lock(budgetLock());
        for (int k = 0; k < kKinds; ++k) {
            Budget& budget = budgets()[static_cast<std::size_t>(k)];
            if (budget.held == 0 || (!all && now < budget.toldAt + kSecond)) continue;
            told[k] = budget.held;
            budget.held = 0;
            budget.toldAt = now;
        }
    }
    for (int k = 0; k < kKinds; ++k) {
        if (told[k] > 0) {
            CLogger::warn("%s: %llu more lines not logged (%s)", kNames[k], static_cast<unsigned long long>(told[k]),
                          kCauses[k]);
        }
    }
}

void LogBudget::resetForTesting() {
    std::lock_guard<std::mutex> lock(budgetLock());
    budgets() = {};
}

#pragma once

#include <cstdint>

// How many lines one peer may have logged per second of the server's clock:
// lines beyond the budget are only counted, so that no peer can roll the log
// over and wipe out who it was. The count is told with the next line that
// fits the budget. Not thread-safe: one per session thread.
class LogBudget {
public:
    explicit LogBudget(unsigned linesPerSecond) : m_PerSecond(linesPerSecond) {}

    struct Verdict {
        bool write = false;         // whether this line may be written
        std::uint64_t skipped = 0;  // lines held back before it, to be told first
    };

    // Takes one line's share of this second's budget.
    Verdict take(std::uint64_t nowSeconds);
    // Lines held back and not yet told; told by this call.
    std::uint64_t takeSkipped();

private:
    const unsigned m_PerSecond;
    std::uint64_t m_Second = 0;
    unsigned m_Used = 0;
    std::uint64_t m_Skipped = 0;
};

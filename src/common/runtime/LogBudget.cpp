#include "LogBudget.h"

LogBudget::Verdict LogBudget::take(std::uint64_t nowSeconds) {
    if (nowSeconds != m_Second) {
        m_Second = nowSeconds;
        m_Used = 0;
    }
    if (m_Used >= m_PerSecond) {
        ++m_Skipped;
        return {};
    }
    ++m_Used;
    return {true, takeSkipped()};
}

std::uint64_t LogBudget::takeSkipped() {
    const std::uint64_t skipped = m_Skipped;
    m_Skipped = 0;
    return skipped;
}

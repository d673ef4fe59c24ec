#include "ScriptState.h"

#include "Clock.h"
#include "Platform.h"

#include <mutex>

namespace {

constexpr std::uint64_t kLiveCheckNanoseconds = 1'000'000'000;

}  // namespace

ScriptState::ScriptState(std::unique_ptr<LiveChecker> liveChecker) : m_LiveChecker(std::move(liveChecker)) {}

ScriptState::~ScriptState() = default;

ScriptStatus ScriptState::scriptStatus() {
    const std::uint64_t now = Clock::nowSeconds();
    const std::uint64_t lastPong = m_LastPong;
    ScriptStatus status;
    status.version = m_Version;
    status.available = now >= lastPong && now - lastPong < kAvailableSeconds;
    for (int i = 0; i < 3; ++i) status.info[i] = m_Info[i];
    status.port = m_Port;
    return status;
}

void ScriptState::setInfo(const int (&info)[3]) {
    for (int i = 0; i < 3; ++i) m_Info[i] = info[i];
}

// The process table is read at most once a second, however often the
// tablets ask.
bool ScriptState::liveRunning() {
    std::lock_guard<CThreadMutex> lock(m_LiveMutex);
    const std::uint64_t now = Clock::nowNanoseconds();
    if (!m_LiveKnown || now - m_LiveCheckedAt >= kLiveCheckNanoseconds) {
        m_LiveRunning = m_LiveChecker && m_LiveChecker->live_is_running();
        m_LiveCheckedAt = now;
        m_LiveKnown = true;
    }
    return m_LiveRunning;
}

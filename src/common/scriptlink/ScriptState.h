#pragma once

#include "ScriptStatusSource.h"
#include "ThreadMutex.h"

#include <atomic>
#include <cstdint>
#include <memory>

class LiveChecker;

// What is known of the Live script, from its pongs and port reports, and
// whether Live runs. Written by the script's routes, read by any thread.
class ScriptState final : public ScriptStatusSource {
public:
    static constexpr int kBasePort = 9008;
    static constexpr int kMinimumScriptVersion = 300;  // below it only pings go out
    // The script counts as available this long after its last pong.
    static constexpr std::uint64_t kAvailableSeconds = 10;

    // `liveChecker` (which may be null: Live is never seen) reads the process table.
    explicit ScriptState(std::unique_ptr<LiveChecker> liveChecker = nullptr);
    ~ScriptState() override;

    ScriptStatus scriptStatus() override;
    bool liveRunning() override;

    int version() const { return m_Version; }
    // Whether the script is recent enough for anything but pings.
    bool accepts() const { return m_Version >= kMinimumScriptVersion; }
    void setVersion(int version) { m_Version = version; }
    void setPort(int port) { m_Port = port; }
    void setInfo(const int (&info)[3]);
    // A pong came at `now` (seconds): returns when the one before came (0: none yet).
    std::uint64_t ponged(std::uint64_t now) { return m_LastPong.exchange(now); }

private:
    std::atomic<int> m_Version{0};
    std::atomic<int> m_Port{kBasePort};
    std::atomic<std::uint64_t> m_LastPong{0};
    std::atomic<int> m_Info[3] = {0, 0, 0};

    std::unique_ptr<LiveChecker> m_LiveChecker;
    CThreadMutex m_LiveMutex;  // guards the checker and its last answer
    bool m_LiveKnown = false;
    bool m_LiveRunning = false;
    std::uint64_t m_LiveCheckedAt = 0;
};

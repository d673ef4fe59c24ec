#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

// A program run by a test: its own working directory, extra environment,
// standard input from a pipe the test writes, standard output to a file.
// The destructor kills and reaps a child that is still running.
class ChildProcess {
public:
    struct Options {
        std::vector<std::string> args;            // args[0] is the program
        std::string workingDirectory;             // empty: the test's own
        std::map<std::string, std::string> env;   // added to the test's environment
        std::string stdoutPath = "/dev/null";
        std::string stderrPath;                   // empty: the test's own
        bool pipeStdin = false;
    };

    explicit ChildProcess(const Options& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_Pid; }
    void signal(int sig) const;
    void writeStdin(const std::string& text) const;
    void closeStdin();

    // Waits for the child to end; returns its wait status, or nothing on
    // time-out (the child then keeps running).
    std::optional<int> wait(std::chrono::milliseconds timeout);
    bool running();

    // True once the child has a handler installed for every signal given.
    bool catchesSignals(const std::vector<int>& signals) const;
    // True while the child's main thread holds back every signal given.
    bool blocksSignals(const std::vector<int>& signals) const;

private:
    bool hasSignals(const std::string& field, const std::vector<int>& signals) const;

    pid_t m_Pid = -1;
    int m_StdinFd = -1;
    std::optional<int> m_Status;
};

// Polls `condition` every 10 ms until it holds or `timeout` passes.
template <class Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        struct timespec pause {0, 10'000'000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

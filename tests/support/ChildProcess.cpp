#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>


extern char** environ;

namespace {

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [key, value] : extra) merged[key] = value;
    std::vector<std::string> result;
    for (const auto& [key, value] : merged) result.push_back(key + "=" + value);
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

}  // namespace

ChildProcess::ChildProcess(const Options& options) {
    std::vector<std::string> args = options.args;
    std::vector<std::string> env = mergedEnvironment(options.env);
    std::vector<char*> argv = pointers(args);
    std::vector<char*> envp = pointers(env);

    int stdinPipe[2] = {-1, -1};
    if (options.pipeStdin && pipe2(stdinPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const int out = open(options.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = options.stderrPath.empty()
                        ? -1
                        : open(options.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);

    // Closed by the exec: the parent waits for that, so that nothing it does
    // to the child (a signal, a look at its handlers) reaches the copy of
    // this process that runs until then.
    int execed[2] = {-1, -1};
    if (pipe2(execed, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    m_Pid = fork();
    if (m_Pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        const rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        // As from a terminal, even when the tests run as a script's
        // background job (which ignores both): the programs' own handling
        // of these signals is what is tested.
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGQUIT, SIG_DFL);
        if (stdinPipe[0] >= 0) dup2(stdinPipe[0], STDIN_FILENO);
        if (out >= 0) dup2(out, STDOUT_FILENO);
        if (err >= 0) dup2(err, STDERR_FILENO);
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (out >= 0) close(out);
    if (err >= 0) close(err);
    if (stdinPipe[0] >= 0) close(stdinPipe[0]);
    m_StdinFd = stdinPipe[1];
    close(execed[1]);
    char none = 0;
    while (m_Pid > 0 && read(execed[0], &none, 1) < 0 && errno == EINTR) {
    }
    close(execed[0]);
    if (m_Pid < 0) throw std::runtime_error("fork failed");
}

ChildProcess::~ChildProcess() {
    closeStdin();
    if (running()) {
        kill(m_Pid, SIGKILL);
        wait(std::chrono::seconds(5));
    }
}

void ChildProcess::signal(int sig) const { kill(m_Pid, sig); }

void ChildProcess::writeStdin(const std::string& text) const {
    if (m_StdinFd >= 0) (void)!write(m_StdinFd, text.data(), text.size());
}

void ChildProcess::closeStdin() {
    if (m_StdinFd >= 0) close(m_StdinFd);
    m_StdinFd = -1;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    waitUntil([this] { return !running(); }, timeout);
    return m_Status;
}

bool ChildProcess::running() {
    if (m_Status) return false;
    int status = 0;
    if (waitpid(m_Pid, &status, WNOHANG) == m_Pid) m_Status = status;
    return !m_Status;
}

bool ChildProcess::catchesSignals(const std::vector<int>& signals) const { return hasSignals("SigCgt:", signals); }

bool ChildProcess::blocksSignals(const std::vector<int>& signals) const { return hasSignals("SigBlk:", signals); }

bool ChildProcess::hasSignals(const std::string& field, const std::vector<int>& signals) const {
    std::ifstream statusFile("/proc/" + std::to_string(m_Pid) + "/status");
    std::string line;
    while (std::getline(statusFile, line)) {
        if (line.rfind(field, 0) != 0) continue;
        const unsigned long long mask = std::stoull(line.substr(field.size()), nullptr, 16);
        for (int sig : signals) {
            if ((mask & (1ULL << (sig - 1))) == 0) return false;
        }
        return true;
    }
    return false;
}

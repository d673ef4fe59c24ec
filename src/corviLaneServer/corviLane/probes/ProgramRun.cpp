#include "ProgramRun.h"

#include <fcntl.h>

#include <cerrno>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr std::size_t kMaxOutput = 1 << 20;

struct Pipe {
    int read = -1;
    int write = -1;
    ~Pipe() {
        if (read >= 0) close(read);
        if (write >= 0) close(write);
    }
};

// Reads until the end of the output or the deadline; false at the deadline.
bool collect(int descriptor, std::chrono::steady_clock::time_point deadline, std::string& output) {
    char buffer[4096];
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd watched{descriptor, POLLIN, 0};
        if (poll(&watched, 1, static_cast<int>(left.count())) <= 0) continue;
        const ssize_t got = ::read(descriptor, buffer, sizeof buffer);
        if (got <= 0) return true;
        if (output.size() < kMaxOutput) output.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace

std::optional<ProgramRun::Result> ProgramRun::run(const std::vector<std::string>& argv,
                                                  std::chrono::milliseconds timeout) {
    if (argv.empty()) return std::nullopt;
    Pipe out;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
    out.read = ends[0];
    out.write = ends[1];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write, 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> arguments;
    for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    pid_t child = -1;
    const int spawned = posix_spawnp(&child, arguments[0], &actions, nullptr, arguments.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return std::nullopt;
    close(out.write);
    out.write = -1;
    Result result;
    const bool ended = collect(out.read, std::chrono::steady_clock::now() + timeout, result.output);
    if (!ended) kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!ended || !WIFEXITED(status)) return std::nullopt;
    result.status = WEXITSTATUS(status);
    return result;
}

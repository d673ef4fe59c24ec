#include "ProgramRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

extern char** environ;

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::size_t kMaxOutput = 1 << 20;
// A killed tool is normally gone at once; one stuck in the kernel (a hung
// network file system) is left to init rather than waited for.
constexpr auto kReapTime = std::chrono::milliseconds(200);

// The process groups of the tools that run, for killAll, which may run in a
// signal handler: a fixed table of lock-free slots.
std::array<std::atomic<pid_t>, 16> running{};
static_assert(std::atomic<pid_t>::is_always_lock_free);
// Tools being started: one started but not yet in the table is waited for.
std::atomic<int> starting{0};
constexpr int kStartWaitSteps = 100;  // of a millisecond each

void track(pid_t group) {
    for (std::atomic<pid_t>& slot : running) {
        pid_t empty = 0;
        if (slot.compare_exchange_strong(empty, group)) return;
    }
}

void untrack(pid_t group) {
    for (std::atomic<pid_t>& slot : running) {
        pid_t mine = group;
        if (slot.compare_exchange_strong(mine, 0)) return;
    }
}

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : m_Fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept : m_Fd(other.m_Fd) { other.m_Fd = -1; }
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            reset();
            m_Fd = std::exchange(other.m_Fd, -1);
        }
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    int get() const { return m_Fd; }
    void reset() {
        if (m_Fd >= 0) close(m_Fd);
        m_Fd = -1;
    }

private:
    int m_Fd;
};

// The spawn's settings: the child's descriptors, and a signal state of its
// own (an empty mask, every signal at its default) in a new process group.
class SpawnSettings {
public:
    explicit SpawnSettings(int output) {
        posix_spawn_file_actions_init(&m_Actions);
        posix_spawn_file_actions_addopen(&m_Actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&m_Actions, output, 1);
        posix_spawn_file_actions_addopen(&m_Actions, 2, "/dev/null", O_WRONLY, 0);
        posix_spawnattr_init(&m_Attributes);
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigfillset(&all);
        posix_spawnattr_setsigmask(&m_Attributes, &none);
        posix_spawnattr_setsigdefault(&m_Attributes, &all);
        posix_spawnattr_setpgroup(&m_Attributes, 0);
        posix_spawnattr_setflags(&m_Attributes,
                                 POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    }
    ~SpawnSettings() {
        posix_spawnattr_destroy(&m_Attributes);
        posix_spawn_file_actions_destroy(&m_Actions);
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;

    const posix_spawn_file_actions_t* actions() const { return &m_Actions; }
    const posix_spawnattr_t* attributes() const { return &m_Attributes; }

private:
    posix_spawn_file_actions_t m_Actions;
    posix_spawnattr_t m_Attributes;
};

// The environment with LC_ALL=C, so that the tools' words are the English
// ones this check reads.
std::vector<std::string> toolEnvironment() {
    std::vector<std::string> variables;
    for (char** variable = environ; variable != nullptr && *variable != nullptr; ++variable) {
        if (std::strncmp(*variable, "LC_ALL=", 7) != 0) variables.emplace_back(*variable);
    }
    variables.emplace_back("LC_ALL=C");
    return variables;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> list;
    for (std::string& text : texts) list.push_back(text.data());
    list.push_back(nullptr);
    return list;
}

// One tool under way: its process (leader of its group) and its output.
struct Child {
    pid_t pid = -1;
    Descriptor output;
    bool ended = false;  // its output reached its end
    std::optional<ProgramRun::Result> result;
};

Child spawn(const std::vector<std::string>& command, std::vector<std::string>& environment) {
    Child child;
    if (command.empty()) return child;
    const std::string path = ProgramRun::find(command[0]);
    if (path.empty()) return child;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return child;
    Descriptor read(ends[0]);
    const Descriptor write(ends[1]);
    std::vector<std::string> arguments = command;
    std::vector<char*> argv = pointers(arguments);
    std::vector<char*> envp = pointers(environment);
    const SpawnSettings settings(write.get());
    pid_t pid = -1;
    ++starting;
    if (posix_spawn(&pid, path.c_str(), settings.actions(), settings.attributes(), argv.data(), envp.data()) != 0) {
        --starting;
        return child;
    }
    track(pid);
    --starting;
    child.pid = pid;
    child.output = std::move(read);
    return child;
}

int millisecondsLeft(ProgramRun::Deadline deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
    return static_cast<int>(std::max<long long>(left, 0));
}

// Reads every tool's output until each has ended or the deadline passes.
void collect(std::vector<Child>& children, ProgramRun::Deadline deadline) {
    std::vector<std::string> outputs(children.size());
    while (true) {
        std::vector<pollfd> watched;
        std::vector<std::size_t> owners;
        for (std::size_t i = 0; i < children.size(); ++i) {
            if (children[i].pid < 0 || children[i].ended) continue;
            watched.push_back({children[i].output.get(), POLLIN, 0});
            owners.push_back(i);
        }
        const int wait = millisecondsLeft(deadline);
        if (watched.empty() || wait == 0) break;
        if (poll(watched.data(), watched.size(), wait) < 0 && errno != EINTR) break;
        for (std::size_t w = 0; w < watched.size(); ++w) {
            if (watched[w].revents == 0) continue;
            Child& child = children[owners[w]];
            char buffer[4096];
            const ssize_t got = ::read(child.output.get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                child.ended = true;
                continue;
            }
            std::string& output = outputs[owners[w]];
            if (output.size() < kMaxOutput) output.append(buffer, static_cast<std::size_t>(got));
        }
    }
    for (std::size_t i = 0; i < children.size(); ++i) {
        if (children[i].pid >= 0) children[i].result = ProgramRun::Result{0, std::move(outputs[i])};
    }
}

// Polls for the tool's end until `until`; true once it has been reaped.
bool reapedBefore(pid_t pid, SteadyClock::time_point until, int& status) {
    while (true) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return true;
        if (done < 0 && errno != EINTR) return false;
        if (SteadyClock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Waits until the deadline for the tool's end, then kills it and its group;
// keeps its exit status. A tool killed, or whose output did not end, has none.
void reap(Child& child, ProgramRun::Deadline deadline) {
    if (child.pid < 0) return;
    int status = 0;
    const bool reaped = child.ended && reapedBefore(child.pid, deadline, status);
    if (!reaped) {
        kill(-child.pid, SIGKILL);
        reapedBefore(child.pid, SteadyClock::now() + kReapTime, status);
    }
    untrack(child.pid);
    if (!reaped || !WIFEXITED(status)) {
        child.result.reset();
        return;
    }
    child.result->status = WEXITSTATUS(status);
}

}  // namespace

std::string ProgramRun::find(const std::string& program) {
    if (program.empty()) return {};
    if (program.find('/') != std::string::npos) return access(program.c_str(), X_OK) == 0 ? program : "";
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    folders += ":/usr/sbin:/sbin";
    for (std::size_t begin = 0; begin <= folders.size();) {
        const std::size_t end = std::min(folders.find(':', begin), folders.size());
        const std::string folder = folders.substr(begin, end - begin);
        begin = end + 1;
        if (folder.empty() || folder[0] != '/') continue;  // a relative PATH entry is never trusted
        const std::string candidate = folder + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

std::vector<std::optional<ProgramRun::Result>> ProgramRun::runAll(const std::vector<std::vector<std::string>>& commands,
                                                                  Deadline deadline) {
    std::vector<std::string> environment = toolEnvironment();
    std::vector<Child> children;
    for (const std::vector<std::string>& command : commands) children.push_back(spawn(command, environment));
    collect(children, deadline);
    std::vector<std::optional<Result>> results;
    for (Child& child : children) {
        child.output.reset();
        reap(child, deadline);
        results.push_back(std::move(child.result));
    }
    return results;
}

// Runs on a thread that starts no tool (the check's threads that do hold
// the stop signals), so a tool being started is in the table shortly.
void ProgramRun::killAll() {
    const timespec step{0, 1'000'000};
    for (int waited = 0; starting.load() > 0 && waited < kStartWaitSteps; ++waited) nanosleep(&step, nullptr);
    for (std::atomic<pid_t>& slot : running) {
        const pid_t group = slot.load();
        if (group > 0) kill(-group, SIGKILL);
    }
}

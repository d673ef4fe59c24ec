#include "ChildRun.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace childrun {

namespace {

// Where a child that times its own work writes the seconds.
int g_TimeOut = -1;

}  // namespace

double median(std::vector<double> values) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : 0.5 * (values[middle - 1] + values[middle]);
}

Run inChild(const std::function<int()>& work) {
    int ends[2];
    if (pipe(ends) != 0) return {};
    std::fflush(stdout);
    const auto started = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child < 0) return {};
    if (child == 0) {
        close(ends[0]);
        g_TimeOut = ends[1];
        _exit(work());
    }
    close(ends[1]);
    int status = 0;
    rusage usage{};
    const bool waited = wait4(child, &status, 0, &usage) == child;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    double reported = 0;
    if (read(ends[0], &reported, sizeof reported) == sizeof reported) seconds = reported;
    close(ends[0]);
    if (!waited || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    return {seconds, static_cast<double>(usage.ru_maxrss) / 1024.0};
}

Run medianOf(int runs, const std::function<int()>& work) {
    std::vector<double> times;
    Run result;
    for (int i = 0; i < runs; ++i) {
        const Run run = inChild(work);
        if (run.seconds < 0) return {};
        times.push_back(run.seconds);
        result.peakMiB = std::max(result.peakMiB, run.peakMiB);
    }
    result.seconds = median(times);
    return result;
}

void reportSeconds(double seconds) { (void)!write(g_TimeOut, &seconds, sizeof seconds); }

int execQuietly(const std::vector<std::string>& command) {
    std::vector<char*> arguments;
    for (const std::string& argument : command) arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    if (std::freopen("/dev/null", "w", stdout) == nullptr || std::freopen("/dev/null", "w", stderr) == nullptr) {
        return 126;
    }
    execv(arguments[0], arguments.data());
    return 127;
}

}  // namespace childrun

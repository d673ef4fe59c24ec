#include "ServerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace {

std::size_t entries(const std::filesystem::path& folder) {
    std::size_t count = 0;
    std::error_code error;
    for (auto entry = std::filesystem::directory_iterator(folder, error); !error && entry != std::filesystem::directory_iterator();
         entry.increment(error)) {
        ++count;
    }
    return count;
}

}  // namespace

ServerProcess::ServerProcess(const std::string& program, const std::string& settings) {
    const std::string path = std::filesystem::absolute(program).string();
    dir = std::filesystem::temp_directory_path() / ("corvilane-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "corvilane-server.conf") << settings;
    pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(1);
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, 1);
        dup2(quiet, 2);
        execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (port == 0 && std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(log());
        std::string line;
        while (std::getline(in, line)) {
            const auto at = line.find("Started listening on port ");
            if (at != std::string::npos) port = static_cast<std::uint16_t>(std::stoi(line.substr(at + 26)));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

ServerProcess::~ServerProcess() {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    std::filesystem::remove_all(dir);
}

ServerProcess::Usage ServerProcess::usage() const {
    Usage total;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        unsigned long long runNs = 0;
        unsigned long long waitNs = 0;
        unsigned long long runs = 0;
        if (!(schedstat >> runNs >> waitNs >> runs)) continue;
        total.cpuSeconds += static_cast<double>(runNs) / 1e9;
        total.runs += runs;
    }
    return total;
}

std::size_t ServerProcess::threads() const { return entries("/proc/" + std::to_string(pid) + "/task"); }

std::size_t ServerProcess::descriptors() const { return entries("/proc/" + std::to_string(pid) + "/fd"); }

// "corvilane-server --check" as a process: its time, its signals, its tools,
// and what the running server sees of it.
#include "ChildProcess.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <sstream>

using namespace std::chrono_literals;

namespace {

#ifdef CORVILANE_SANITIZED
constexpr auto kSlack = 2s;
#else
constexpr auto kSlack = 0s;
#endif

class CheckProcessTest : public ::testing::Test {
protected:
    // Tools that never answer: each notes its process number and sleeps.
    void hangingTools() {
        std::filesystem::create_directory(m_Dir.file("bin"));
        for (const char* tool : {"systemctl", "firewall-cmd", "ufw"}) {
            const std::string path = m_Dir.file(std::string("bin/") + tool);
            writeFile(path, "#!/bin/sh\necho $$ >> " + m_Dir.file("pids") + "\nexec sleep 100\n");
            chmod(path.c_str(), 0755);
        }
    }

    std::unique_ptr<ChildProcess> launch(std::vector<std::string> extraArgs, const std::string& name) {
        std::vector<std::string> args{CORVILANE_SERVER_PATH};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        const char* path = std::getenv("PATH");
        return std::make_unique<ChildProcess>(ChildProcess::Options{
            .args = args,
            .workingDirectory = m_Dir.path().string(),
            .env = {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + m_Dir.file("no-bus")},
                    {"XDG_RUNTIME_DIR", m_Dir.path().string()},
                    {"PATH", m_Dir.file("bin") + ":" + (path != nullptr ? path : "/usr/bin:/bin")}},
            .stdoutPath = m_Dir.file(name + ".out"),
            .stderrPath = m_Dir.file(name + ".err")});
    }

    // The hanging tools' processes, once each has started.
    std::vector<pid_t> toolsStarted(std::size_t count) {
        std::vector<pid_t> pids;
        waitUntil([&] {
            pids.clear();
            std::istringstream lines(readFile(m_Dir.file("pids")));
            for (pid_t pid = 0; lines >> pid;) pids.push_back(pid);
            return pids.size() >= count;
        }, 5s);
        return pids;
    }

    // Gone, or a zombie left for init to reap.
    static bool ended(pid_t pid) {
        const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        const std::size_t close = stat.rfind(')');
        return stat.empty() || close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0;
    }

    TempDir m_Dir;
};

// Tools that hang are killed at the check's deadline; the check ends in time
// and says it could not tell rather than ok.
TEST_F(CheckProcessTest, EndsInTimeWhateverItsToolsDo) {
    hangingTools();
    const auto started = std::chrono::steady_clock::now();
    auto check = launch({"--check", "--json"}, "check");
    const auto status = check->wait(10s);
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status)) << *status;
    EXPECT_LT(took, 5s + kSlack);
    const std::vector<pid_t> tools = toolsStarted(2);
    for (const pid_t tool : tools) EXPECT_TRUE(waitUntil([&] { return ended(tool); }, 1s)) << tool;
    const std::string report = readFile(m_Dir.file("check.out"));
    EXPECT_NE(report.find("\"active_unit\": \"\""), std::string::npos) << report;
    if (geteuid() == 0) {
        EXPECT_NE(report.find("ufw status did not answer in time"), std::string::npos) << report;
    }
}

// A stop signal ends the check at once, and its tools with it.
TEST_F(CheckProcessTest, StopSignalsEndItAtOnce) {
    hangingTools();
    for (const int sig : {SIGTERM, SIGINT, SIGQUIT}) {
        std::filesystem::remove(m_Dir.file("pids"));
        auto check = launch({"--check"}, "check");
        const std::vector<pid_t> tools = toolsStarted(2);
        ASSERT_GE(tools.size(), 2u);
        check->signal(sig);
        const auto status = check->wait(1s + kSlack);
        ASSERT_TRUE(status.has_value()) << sig;
        EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == sig) << sig << ": " << *status;
        for (const pid_t tool : tools) EXPECT_TRUE(waitUntil([&] { return ended(tool); }, 1s)) << sig;
    }
}

// The running server tells its log through its lock, and sees the check
// leave as a tablet leaves: no error line for the check's session. It says
// where tablets reach it on standard error.
TEST_F(CheckProcessTest, TheServerToldOfItsLogSeesTheCheckLeaveInOrder) {
    auto server = launch({}, "server");
    const std::string log = m_Dir.file("corvilane-server.log");
    ASSERT_TRUE(waitUntil([&] { return readFile(m_Dir.file("corvilane.lock")).find(" " + log + "\n") != std::string::npos; },
                          10s));
    auto check = launch({"--check", "--json"}, "check");
    ASSERT_TRUE(check->wait(10s).has_value());
    const std::string report = readFile(m_Dir.file("check.out"));
    EXPECT_NE(report.find("\"answered\": true"), std::string::npos) << report;
    EXPECT_NE(report.find("\"log\": \"" + log + "\""), std::string::npos) << report;
    EXPECT_TRUE(waitUntil([&] { return readFile(m_Dir.file("server.err")).find("\nWi-Fi: ") != std::string::npos ||
                                       readFile(m_Dir.file("server.err")).rfind("Wi-Fi: ", 0) == 0; }, 5s));
    server->signal(SIGTERM);
    ASSERT_TRUE(server->wait(5s).has_value());
    EXPECT_EQ(readFile(m_Dir.file("server.out")).find("opening socket"), std::string::npos)
        << readFile(m_Dir.file("server.out"));
}

}  // namespace

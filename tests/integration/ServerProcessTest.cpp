// The service entry as a process: modes, signals, console and log files.
#include "ChildProcess.h"
#include "SimulatedTablet.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

using namespace std::chrono_literals;

namespace {

class ServerProcessTest : public ::testing::Test {
protected:
    std::unique_ptr<ChildProcess> launch(std::vector<std::string> extraArgs, bool pipeStdin = false) {
        return launch(std::move(extraArgs), {}, pipeStdin);
    }
    std::unique_ptr<ChildProcess> launch(std::vector<std::string> extraArgs, std::map<std::string, std::string> env,
                                         bool pipeStdin = false) {
        std::vector<std::string> args{CORVILANE_SERVER_PATH};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        // The crash handler logs through the logger, which is not signal-safe;
        // the thread sanitizer would stop the process there instead of letting
        // the crash run its course.
        const char* tsan = std::getenv("TSAN_OPTIONS");
        env.emplace("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + m_Dir.file("no-bus"));
        env.emplace("XDG_RUNTIME_DIR", m_Dir.path().string());
        env.emplace("TSAN_OPTIONS", std::string(tsan ? tsan : "") + ":report_signal_unsafe=0");
        return std::make_unique<ChildProcess>(ChildProcess::Options{
            .args = args,
            .workingDirectory = m_Dir.path().string(),
            // No D-Bus here: the advertisement fails and the server runs on.
            .env = env,
            .stdoutPath = m_Dir.file("stdout.txt"),
            .stderrPath = m_Dir.file("stderr.txt"),
            .pipeStdin = pipeStdin});
    }

    // Waits until service mode has installed its handlers, i.e. is running.
    static void waitForService(ChildProcess& server) {
        ASSERT_TRUE(waitUntil([&] { return server.catchesSignals({SIGTERM, SIGQUIT, SIGINT, SIGSEGV}); }, 10s));
    }

    std::string log() const { return readFile(m_Dir.file("corvilane-server.log")); }
    std::string debugLog() const { return readFile(m_Dir.file("corvilane-server-debug.log")); }

    TempDir m_Dir;
};

void expectInOrder(const std::string& text, const std::vector<std::string>& parts) {
    std::size_t at = 0;
    for (const auto& part : parts) {
        const std::size_t found = text.find(part, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << part << "\n" << text;
        at = found + part.size();
    }
}

class ServiceStopSignal : public ServerProcessTest, public ::testing::WithParamInterface<int> {};

TEST_P(ServiceStopSignal, EndsPromptlyAndLogsItsStop) {
    auto server = launch({});
    waitForService(*server);
    const auto sent = std::chrono::steady_clock::now();
    server->signal(GetParam());
    const auto status = server->wait(5s);
    const auto took = std::chrono::steady_clock::now() - sent;
    ASSERT_TRUE(status.has_value()) << log();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    // One 200 ms poll plus the stop; generous for sanitizer builds.
    EXPECT_LT(took, 1s);
    expectInOrder(log(), {" DEBUG Terminated!\n", " INFO Finished.\n", " DEBUG finished logger\n"});
}

// A stop asked for while the server is still starting is an orderly one.
TEST_F(ServerProcessTest, SigtermDuringStartUpStopsInOrder) {
    auto server = launch({});
    ASSERT_TRUE(waitUntil([&] { return server->blocksSignals({SIGTERM}) || server->catchesSignals({SIGTERM}); }, 10s));
    server->signal(SIGTERM);
    const auto status = server->wait(10s);
    ASSERT_TRUE(status.has_value()) << log();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    expectInOrder(log(), {" DEBUG Terminated!\n", " INFO Finished.\n"});
}

// With its descriptors nearly all taken, the server turns connections away
// instead of serving them half (a session that could never be woken), takes
// tablets again once descriptors are free, and still stops in order.
TEST_F(ServerProcessTest, RunningOutOfDescriptorsRefusesWorkAndNeverHangsAStop) {
#ifdef CORVILANE_SANITIZED
    GTEST_SKIP() << "the sanitizers' own checks need descriptors (they read /proc/self/maps)";
#endif
    // All the connections come from one address.
    writeFile(m_Dir.file("corvilane-server.conf"), "wifi.max_sessions_per_address=64\n");
    auto server = launch({});
    waitForService(*server);
    std::uint16_t port = 0;
    ASSERT_TRUE(waitUntil([&] { return std::sscanf(log().c_str() + std::min(log().find("Bound to port "), log().size()),
                                                   "Bound to port %hu", &port) == 1; }, 10s));
    const auto open = std::distance(std::filesystem::directory_iterator("/proc/" + std::to_string(server->pid()) + "/fd"),
                                    std::filesystem::directory_iterator());
    rlimit usual{};
    ASSERT_EQ(prlimit(server->pid(), RLIMIT_NOFILE, nullptr, &usual), 0);
    const rlimit few{static_cast<rlim_t>(open + 8), usual.rlim_max};
    ASSERT_EQ(prlimit(server->pid(), RLIMIT_NOFILE, &few, nullptr), 0);
    {
        std::vector<std::unique_ptr<SimulatedTablet>> crowd;
        for (int i = 0; i < 20; ++i) crowd.push_back(std::make_unique<SimulatedTablet>(port));
        EXPECT_TRUE(waitUntil([&] { return log().find("Accepting a connection failed") != std::string::npos; }, 5s));
    }
    ASSERT_EQ(prlimit(server->pid(), RLIMIT_NOFILE, &usual, nullptr), 0);
    SimulatedTablet ipad(port);
    ipad.sendMessage({"/server/ping", {1}});
    EXPECT_TRUE(ipad.waitFor("/server/pong", 5s).has_value());
    server->signal(SIGTERM);
    const auto status = server->wait(10s);
    ASSERT_TRUE(status.has_value()) << log();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
}

// A FIFO where a file read at start-up is kept (put there by mistake or by
// malice) is passed over with one line saying so; the server starts and
// stops as usual. Before, each held the start for good, SIGTERM held back.
TEST_F(ServerProcessTest, FifosWhereItsFilesAreKeptNeverHoldTheStart) {
    const struct {
        std::string file;  // under the working folder
        std::string said;  // in the log, or on standard error when the log is the FIFO
    } cases[] = {
        {"cache/corvilane/fftw-wisdom", "WARN FFT wisdom " + m_Dir.file("cache/corvilane/fftw-wisdom") +
                                            " not read: not a regular file"},
        {"corvilane-server.conf", "WARN Settings file corvilane-server.conf not read: not a regular file"},
        {"corvilane.lock", "corviLane: cannot use " + m_Dir.file("corvilane.lock")},
        {"corvilane-server.log", "corviLane: cannot write the log " + m_Dir.file("corvilane-server.log")},
    };
    std::filesystem::create_directories(m_Dir.file("cache/corvilane"));
    for (const auto& c : cases) {
        std::filesystem::remove(m_Dir.file(c.file));  // the lock stays after a run
        ASSERT_EQ(mkfifo(m_Dir.file(c.file).c_str(), 0600), 0) << c.file;
        auto server = launch({}, {{"XDG_CACHE_HOME", m_Dir.file("cache")}});
        waitForService(*server);
        server->signal(SIGTERM);
        const auto status = server->wait(5s);
        ASSERT_TRUE(status.has_value()) << c.file;
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << c.file;
        std::filesystem::remove(m_Dir.file(c.file));  // before the log is read: it may be the FIFO
        EXPECT_NE((log() + readFile(m_Dir.file("stderr.txt"))).find(c.said), std::string::npos) << c.file << "\n"
                                                                                                  << log();
        std::filesystem::remove(m_Dir.file("corvilane-server.log"));
    }
}

INSTANTIATE_TEST_SUITE_P(TermQuitAndInterrupt, ServiceStopSignal, ::testing::Values(SIGTERM, SIGQUIT, SIGINT));

// Words run the service as no argument does; "-debug" counts only first;
// help and version answer on standard output, a wrong option on standard
// error with status 2, and none of these starts a server.
TEST_F(ServerProcessTest, CommandLinesAsGnuProgramsHaveThem) {
    const struct {
        std::vector<std::string> args;
        int status;  // -1: the service runs
        std::string out, err;
    } cases[] = {
        {{}, -1, "", ""},
        {{"debug"}, -1, "", ""},
        {{"x", "-debug"}, -1, "", ""},
        {{"--help"}, 0, "Usage: corvilane-server [-debug]\n", ""},
        {{"-h"}, 0, "Usage: corvilane-server [-debug]\n", ""},
        {{"--version"}, 0, "corvilane-server (corviLane) ", ""},
        {{"-V"}, 0, "corvilane-server (corviLane) ", ""},
        {{"-Debug"}, 2, "", "corvilane-server: unrecognized option '-Debug'\nTry 'corvilane-server --help'"},
        {{"--bogus", "--help"}, 2, "", "corvilane-server: unrecognized option '--bogus'\n"},
        {{"--json"}, 2, "", "corvilane-server: --json goes with --check\n"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(m_Dir.file("corvilane-server.log"));
        auto server = launch(c.args);
        if (c.status < 0) {
            waitForService(*server);
            server->signal(SIGTERM);
            ASSERT_TRUE(server->wait(5s).has_value());
            EXPECT_NE(log().find(" INFO Finished.\n"), std::string::npos);
            EXPECT_FALSE(std::filesystem::exists(m_Dir.file("corvilane-server-debug.log")));
            continue;
        }
        const auto status = server->wait(5s);
        ASSERT_TRUE(status.has_value()) << c.args[0];
        EXPECT_EQ(WEXITSTATUS(*status), c.status) << c.args[0];
        EXPECT_EQ(readFile(m_Dir.file("stdout.txt")).rfind(c.out, 0), 0u) << c.args[0];
        EXPECT_EQ(readFile(m_Dir.file("stderr.txt")).rfind(c.err, 0), 0u) << c.args[0];
        EXPECT_FALSE(std::filesystem::exists(m_Dir.file("corvilane-server.log"))) << c.args[0];
    }
}

TEST_F(ServerProcessTest, SegmentationFaultIsLoggedWithBacktraceThenCrashes) {
    auto server = launch({});
    waitForService(*server);
    server->signal(SIGSEGV);
    const auto status = server->wait(5s);
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), SIGSEGV);
    const std::string text = log();
    const auto crash = text.find(" ERROR SIGSEGV catched\n");
    ASSERT_NE(crash, std::string::npos) << text;
    // At least one backtrace line follows at error level.
    EXPECT_NE(text.find(" ERROR ", crash + 10), std::string::npos) << text;
}

TEST_F(ServerProcessTest, DebugConsoleEndsOnlyOnQuit) {
    auto server = launch({"-debug"}, true);
    server->writeStdin("quitx QUIT\nQuit quit2 ");
    // The prompt after the fourth word: every word was read, none ended it.
    ASSERT_TRUE(waitUntil([&] { return readFile(m_Dir.file("stdout.txt")).ends_with(">>>>>"); }, 10s));
    EXPECT_TRUE(server->running());
    server->writeStdin("quit\n");
    const auto status = server->wait(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_EQ(readFile(m_Dir.file("stdout.txt")), "starting server\n>>>>>");  // the USB watcher, then the prompts
    expectInOrder(debugLog(), {" INFO Finished.\n", " DEBUG finished logger\n"});
    EXPECT_FALSE(std::filesystem::exists(m_Dir.file("corvilane-server.log")));
}

TEST_F(ServerProcessTest, DebugConsoleEndsAtEndOfInput) {
    auto server = launch({"-debug"}, true);
    server->writeStdin("hello");
    server->closeStdin();
    const auto status = server->wait(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_NE(debugLog().find(" INFO Finished.\n"), std::string::npos);
}

TEST_F(ServerProcessTest, DebugModeInstallsNoSignalHandlers) {
    auto server = launch({"-debug"}, true);
    ASSERT_TRUE(waitUntil([&] { return readFile(m_Dir.file("stdout.txt")).ends_with(">"); }, 10s));
    EXPECT_FALSE(server->catchesSignals({SIGTERM}));
    server->closeStdin();
    EXPECT_TRUE(server->wait(5s).has_value());
}

}  // namespace

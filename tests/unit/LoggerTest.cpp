#include "Clock.h"
#include "Console.h"
#include "LogBudget.h"
#include "Logger.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <regex>
#include <thread>
#include <vector>

namespace {

class LoggerTest : public ::testing::Test {
protected:
    void TearDown() override { CLogger::finish(); }

    std::string logPath() const { return m_Dir.file("test.log"); }
    std::string content() const { return readFile(logPath()); }

    // Starts the logger on logPath() with the given limit (KiB), every level on.
    void start(long limitKiB) {
        CLogger::init(logPath().c_str(), limitKiB);
        CLogger::setLogLevel(CLogger::kDebug);
    }

    TempDir m_Dir;
};

void logAt(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    CLogger::log(level, format, args);
    va_end(args);
}

// The length of a line that carries `message` at INFO, prefix included.
std::size_t infoLineLength(const std::string& message) {
    return std::string("2026-12-07 21:22:01 [") .size() + std::to_string(gettid()).size() +
           std::string("] INFO ").size() + message.size() + 1;
}

TEST_F(LoggerTest, WritesDateTimeThreadLevelAndExpandedMessage) {
    start(2048);
    CLogger::info("Finished.");
    CLogger::error("port %u and %s, 100%%", 4294967295U, "name");
    CLogger::debug("quiet");

    const std::regex expected(
        "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} \\[" + std::to_string(gettid()) +
        "\\] INFO Finished\\.\n"
        "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} \\[\\d+\\] ERROR port 4294967295 and name, 100%\n"
        "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} \\[\\d+\\] DEBUG quiet\n");
    EXPECT_TRUE(std::regex_match(content(), expected)) << content();
}

TEST_F(LoggerTest, ThresholdAndLevelWords) {
    CLogger::init(logPath().c_str(), 2048);  // threshold 3 after creation
    CLogger::debug("hidden");
    CLogger::info("shown");
    logAt(2, "warned");
    logAt(0, "level zero");
    CLogger::setLogLevel(9);
    logAt(7, "level seven");
    logAt(10, "too verbose");

    const std::string text = content();
    EXPECT_EQ(text.find("hidden"), std::string::npos);
    EXPECT_NE(text.find(" INFO shown\n"), std::string::npos);
    EXPECT_NE(text.find(" WARN warned\n"), std::string::npos);
    EXPECT_NE(text.find(" UNKNOWN level zero\n"), std::string::npos);
    EXPECT_NE(text.find(" UNKNOWN level seven\n"), std::string::npos);
    EXPECT_EQ(text.find("too verbose"), std::string::npos);
}

TEST_F(LoggerTest, ExistingFileAtTheLimitIsContinuedAndOneByteMoreIsEmptied) {
    writeFile(logPath(), std::string(2048 * 1024, 'a'));
    start(2048);
    EXPECT_EQ(content().size(), 2048u * 1024);
    CLogger::finish();

    writeFile(logPath(), std::string(2048 * 1024 + 1, 'a'));
    start(2048);
    EXPECT_EQ(content().size(), 0u);
}

TEST_F(LoggerTest, LimitOfZeroOrLessNeverRolls) {
    for (long limit : {0L, -1L}) {
        writeFile(logPath(), std::string(4096, 'a'));
        start(limit);
        const std::string line(100, 'b');
        for (int i = 0; i < 100; ++i) CLogger::info("%s", line.c_str());
        EXPECT_EQ(content().size(), 4096 + 100 * infoLineLength(line)) << "limit " << limit;
        CLogger::finish();
    }
}

TEST_F(LoggerTest, LineCrossingTheLimitIsWrittenWholeThenFileIsEmptiedThenContinued) {
    start(1);  // 1024 bytes
    const std::string first(1000 - infoLineLength(""), 'A');
    CLogger::info("%s", first.c_str());
    ASSERT_EQ(content().size(), 1000u);

    CLogger::info("crossing the limit");  // written whole, then the file is emptied
    EXPECT_EQ(content().size(), 0u);

    CLogger::info("first after the roll");  // lands in the empty file, rolls again
    CLogger::info("second after the roll");  // the second roll continued the file
    const std::string text = content();
    EXPECT_EQ(text.find("crossing"), std::string::npos);
    EXPECT_NE(text.find("first after the roll\n"), std::string::npos);
    EXPECT_NE(text.find("second after the roll\n"), std::string::npos);
}

TEST_F(LoggerTest, SecondInitKeepsTheFirstFileAndLimit) {
    start(2048);
    CLogger::init(m_Dir.file("other.log").c_str(), 1);
    CLogger::info("%s", std::string(2000, 'x').c_str());
    CLogger::info("still here");
    EXPECT_FALSE(std::filesystem::exists(m_Dir.file("other.log")));
    EXPECT_NE(content().find("still here"), std::string::npos);
    EXPECT_NE(content().find(std::string(2000, 'x')), std::string::npos);
}

TEST_F(LoggerTest, OverlongFormatIsCutAndLosesItsLineFeed) {
    start(2048);
    const std::string longArgument(40000, 'y');  // arguments expand without limit...
    CLogger::info("%s", longArgument.c_str());
    EXPECT_NE(content().find(longArgument + "\n"), std::string::npos);

    const std::size_t before = content().size();
    const std::string longFormat(40000, 'z');  // ...but the composed format is cut
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    CLogger::info(longFormat.c_str(), 0);
#pragma GCC diagnostic pop
    CLogger::info("next");
    const std::string text = content();
    const std::size_t nextLine = text.find_first_not_of('z', text.find('z', before));
    EXPECT_EQ(nextLine - before, CLogger::kMaxComposed - 1);
    EXPECT_EQ(text.find('\n', before), text.size() - 1) << "the cut line has no line feed";
}

TEST_F(LoggerTest, UseWithoutLoggerComplainsOnStandardOutput) {
    CLogger::finish();
    {
        Console::Capture console;
        CLogger::info("lost");
        CLogger::debug("lost");
        CLogger::error("lost");
        EXPECT_EQ(console.text(), "BUG: log not initialized!\nBUG: log not initialized!BUG: log not initialized!");
    }
    start(2048);
    CLogger::finish();
    EXPECT_NE(content().find(" DEBUG finished logger\n"), std::string::npos);
    Console::Capture console;
    CLogger::info("lost");
    EXPECT_EQ(console.text(), "BUG: log not initialized!\n");
}

TEST_F(LoggerTest, UnopenableFileDropsLinesQuietly) {
    CLogger::init(m_Dir.file("missing-dir/x.log").c_str(), 2048);
    Console::Capture console;
    CLogger::info("dropped");
    EXPECT_EQ(console.text(), "");
    EXPECT_FALSE(std::filesystem::exists(m_Dir.file("missing-dir")));
}

// A full disk, as a file-size limit in a child process makes it: the lines
// that fail are counted, said once on standard error, and the file starts
// afresh, so the newest lines are kept and the first of them tells the loss.
TEST_F(LoggerTest, FullDiskStartsTheFileAfreshKeepingTheNewestLines) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead
        const rlimit small{16 * 1024, 16 * 1024};
        setrlimit(RLIMIT_FSIZE, &small);
        start(2048);
        for (int i = 0; i < 1000; ++i) {
            CLogger::info("line %d", i);
            if (i % 100 == 99) Clock::advanceForTesting(1);  // past the second after a failure
        }
        // Whether or not the file is full again by now, one of these gets in.
        for (int i = 0; i < 2; ++i) {
            Clock::advanceForTesting(1);
            CLogger::info("last line");
        }
        CLogger::finish();
        std::_Exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    const std::string text = content();
    EXPECT_LE(text.size(), 16u * 1024);
    EXPECT_NE(text.find(" INFO last line\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" log lines could not be written (File too large)\n"), std::string::npos) << text;
}

// A log folder deleted under the logger is made again within a second.
TEST_F(LoggerTest, DeletedFolderIsMadeAgainAndTheLinesGoThere) {
    const std::string path = m_Dir.file("logs/test.log");
    std::filesystem::create_directory(m_Dir.file("logs"));
    CLogger::init(path.c_str(), 2048);
    CLogger::info("before");
    std::filesystem::remove_all(m_Dir.file("logs"));
    Clock::advanceForTesting(1);
    CLogger::info("after");
    Clock::resetForTesting();
    EXPECT_NE(readFile(path).find(" INFO after\n"), std::string::npos);
}

// Each kind of line from outside comes in a burst, then steadily; the rest is
// counted and told once a second in one line, and the kinds keep budgets of
// their own. An hour of a flood (a hundred lines a second) leaves the first
// line of a 2 MiB log standing.
TEST_F(LoggerTest, FloodsFromOutsideAreCountedPerKindAndToldOnceASecond) {
    start(2048);
    LogBudget::resetForTesting();
    CLogger::info("before the flood");
    const std::string line(60, 'x');
    const auto flood = [&](int lines) {
        int written = 0;
        for (int i = 0; i < lines; ++i) {
            if (LogBudget::take(LogBudget::Kind::Datagrams)) {
                CLogger::error("Error parsing message: %s", line.c_str());
                ++written;
            }
        }
        return written;
    };
    EXPECT_EQ(flood(1000), 50);
    EXPECT_TRUE(LogBudget::take(LogBudget::Kind::Sessions));
    LogBudget::tellHeldBack();  // not a second yet
    EXPECT_EQ(content().find("more lines not logged"), std::string::npos);
    Clock::advanceForTesting(1);
    LogBudget::tellHeldBack();
    EXPECT_NE(content().find(" WARN datagrams to the script's port: 950 more lines not logged"), std::string::npos);
    Clock::advanceForTesting(2);
    EXPECT_EQ(flood(100), 3);  // one line a second since the burst

    for (int second = 0; second < 3600; ++second) {
        Clock::advanceForTesting(1);
        flood(100);
        LogBudget::tellHeldBack();
    }
    Clock::resetForTesting();
    EXPECT_NE(content().find("before the flood"), std::string::npos);
    EXPECT_LT(content().size(), 2u << 20);
}

TEST_F(LoggerTest, ConcurrentLinesStayWholeAcrossRolls) {
    start(4);  // rolls every few dozen lines
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < 500; ++i) CLogger::info("writer %d line %d %s", t, i, "payload-payload");
        });
    }
    for (auto& writer : writers) writer.join();
    CLogger::info("last");

    const std::regex line("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} \\[\\d+\\] INFO "
                          "(writer \\d line \\d+ payload-payload|last)");
    std::istringstream lines(content());
    std::string text;
    int count = 0;
    while (std::getline(lines, text)) {
        EXPECT_TRUE(std::regex_match(text, line)) << text;
        ++count;
    }
    EXPECT_GT(count, 0);
}

}  // namespace

namespace {

// A thread that outlives the server's stop may still log while the logger
// finishes: each of its lines is either written or complained about, never
// written to a released logger and never lost without a word.
TEST(LoggerLifetimeTest, LoggingWhileTheLoggerFinishesIsSafe) {
    TempDir dir;
    CLogger::init(dir.file("t.log").c_str(), 0);
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> calls{0};
    Console::Capture console;
    std::thread straggler([&] {
        for (; !stop; ++calls) CLogger::info("still logging");
    });
    auto logged = [&](std::size_t more) {
        const std::size_t until = calls + more;
        for (auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
             calls < until && std::chrono::steady_clock::now() < giveUp;) {
            std::this_thread::yield();
        }
    };
    logged(100);
    CLogger::finish();
    logged(100);
    stop = true;
    straggler.join();
    const auto count = [](const std::string& text, const std::string& what) {
        std::size_t found = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++found;
        return found;
    };
    const std::size_t complaints = count(console.text(), "BUG: log not initialized!\n");
    EXPECT_GT(complaints, 0u);
    EXPECT_EQ(count(readFile(dir.file("t.log")), "still logging") + complaints, calls);
}

}  // namespace

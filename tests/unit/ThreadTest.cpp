#include "Thread.h"
#include "ThreadMutex.h"

#include "ChildProcess.h"
#include "Logger.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Counts its passes and sleeps 1 ms between them, like the server's loops.
class CountingThread : public CThread {
public:
    void Work() override {
        ++m_Entries;
        while (isRunning()) {
            ++m_Passes;
            usleep(1000);
        }
    }
    std::atomic<int> m_Entries{0};
    std::atomic<long> m_Passes{0};
};

// Deletes itself at the end of its own Work, as sessions do.
class SelfDeletingThread : public CThread {
public:
    explicit SelfDeletingThread(std::promise<void>& destroyed) : m_Destroyed(destroyed) {}
    ~SelfDeletingThread() override { m_Destroyed.set_value(); }
    void Work() override { delete this; }

private:
    std::promise<void>& m_Destroyed;
};

TEST(ThreadTest, StartTwiceCreatesOneThread) {
    CountingThread thread;
    EXPECT_EQ(thread.Start(), 0);
    EXPECT_EQ(thread.Start(), 0);
    EXPECT_TRUE(waitUntil([&] { return thread.m_Passes >= 5; }, 5s));
    thread.Stop();
    thread.Join();
    EXPECT_EQ(thread.m_Entries, 1);
    EXPECT_FALSE(thread.isRunning());
}

TEST(ThreadTest, StopOnAnUnstartedObjectChangesNothing) {
    CountingThread thread;
    thread.Stop();
    EXPECT_FALSE(thread.isRunning());
    EXPECT_EQ(thread.m_Entries, 0);
    // It can still be started afterwards.
    thread.Start();
    EXPECT_TRUE(thread.isRunning());
    thread.Stop();
    thread.Join();
    EXPECT_EQ(thread.m_Entries, 1);
}

TEST(ThreadTest, StoppedLoopEndsWithinOnePass) {
    CountingThread thread;
    thread.Start();
    EXPECT_TRUE(waitUntil([&] { return thread.m_Passes >= 3; }, 5s));
    thread.Stop();
    const long passesAtStop = thread.m_Passes;
    thread.Join();
    EXPECT_LE(thread.m_Passes - passesAtStop, 1);
}

TEST(ThreadTest, WorkThatDeletesItsOwnObjectEndsCleanly) {
    std::promise<void> destroyed;
    auto* thread = new SelfDeletingThread(destroyed);
    thread->setDetached();
    thread->Start();
    EXPECT_EQ(destroyed.get_future().wait_for(5s), std::future_status::ready);
}

TEST(ThreadTest, JoinLogsItsOutcome) {
    TempDir dir;
    CLogger::init(dir.file("t.log").c_str(), 2048);
    CLogger::setLogLevel(CLogger::kDebug);
    {
        CountingThread never;
        never.Join();  // never started: reported, not undefined
        CountingThread started;
        started.Start();
        started.Stop();
        started.Join();
    }
    CLogger::finish();
    const std::string log = readFile(dir.file("t.log"));
    EXPECT_NE(log.find(" ERROR Failed to join, result="), std::string::npos) << log;
    EXPECT_NE(log.find(" DEBUG joined thread\n"), std::string::npos) << log;
}

// Four holders at once, held as std::lock_guard holds it everywhere, each lingering between reading a count
// and writing it one higher: a lock that let two in together would be caught so, and would lose counts.
TEST(ThreadMutexTest, NeverHasTwoHoldersUnderContention) {
    CThreadMutex mutex;
    long counter = 0;
    std::atomic<int> inside{0}, ready{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&] {
            for (++ready; ready < 4;) {  // all at once
            }
            for (int i = 0; i < 2000; ++i) {
                const std::lock_guard<CThreadMutex> hold(mutex);
                EXPECT_EQ(++inside, 1);
                const long seen = counter;
                for (int moment = 0; moment < 100 && inside == 1; ++moment) {
                }
                counter = seen + 1;
                --inside;
            }
        });
    }
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(counter, 8000);
}

}  // namespace

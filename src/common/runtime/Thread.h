#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

// Base of every long-lived activity of the server. The object owns one POSIX
// thread that runs its Work loop; the run flag is both the sign that the thread
// was started and the stop request that every Work loop polls.
class CThread {
public:
    CThread() = default;
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Clears the run flag and nothing else: it neither stops nor waits for the
    // thread. Owners unblock and Join a started thread before deleting it.
    virtual ~CThread();

    // Starts the thread unless the run flag is already set. Returns the result
    // of the thread creation (0 on success).
    int Start();

    // The thread's loop; the default body returns at once.
    virtual void Work();

    // Asks the loop to end: clears the run flag and wakes a loop that sleeps
    // in sleepWhileRunning; does not wait. Every end of a loop goes through
    // here; classes whose loop blocks elsewhere also unblock it here.
    virtual void Stop();

    // Waits for a started thread to end. Logs "joined thread" on success.
    void Join();

    // Makes Start create the thread detached, for objects that release
    // themselves at the end of Work and are never joined. Call before Start.
    void setDetached() { m_Detached = true; }
    // The stack the thread gets (0: the system's default). Call before Start.
    void setStackSize(std::size_t bytes) { m_StackSize = bytes; }

    bool isRunning() const { return b_Running.load(); }

protected:
    // Sleeps for `duration` or until Stop is called, whichever comes first;
    // returns whether the thread is still to run.
    bool sleepWhileRunning(std::chrono::milliseconds duration);

    pthread_t m_Thread{};

private:
    std::atomic<bool> b_Running{false};
    std::mutex m_SleepMutex;
    std::condition_variable m_Wake;
    bool m_HasThread = false;  // a joinable thread was created and not joined yet
    bool m_Detached = false;
    std::size_t m_StackSize = 0;
};

// Entry function of every server thread: runs the object's Work and touches
// nothing of the object afterwards, so a Work may delete its own object.
extern "C" void* client_thread_proc(void* arg);

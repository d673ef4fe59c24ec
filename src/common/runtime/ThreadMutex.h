#pragma once

#include <pthread.h>

// The server's lock: a plain, non-recursive POSIX mutex. A thread that holds
// it must not lock it again. Two kinds of locking are not done with it, each
// for a reason: a lock a condition variable waits on is a std::mutex (what
// std::condition_variable takes: a thread's sleep, the USB watcher's queue,
// a MIDI source's queue, the waveform requests' queue), and a lock held shared by many readers is a
// std::shared_mutex (the thread registry, the logger's lifetime).
class CThreadMutex {
public:
    CThreadMutex();
    ~CThreadMutex();
    CThreadMutex(const CThreadMutex&) = delete;
    CThreadMutex& operator=(const CThreadMutex&) = delete;

    int Lock();
    int Unlock();

    // Lockable interface, so std::lock_guard and std::unique_lock can hold it.
    void lock() { Lock(); }
    void unlock() { Unlock(); }

private:
    pthread_mutex_t m_Mutex;
};

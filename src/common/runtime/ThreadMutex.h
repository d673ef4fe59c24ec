#pragma once

#include <pthread.h>

// The server's one lock type: a plain, non-recursive POSIX mutex. A thread
// that holds it must not lock it again.
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

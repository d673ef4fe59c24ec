#include "Thread.h"

#include "Logger.h"

#include <cerrno>

CThread::~CThread() { b_Running = false; }

int CThread::Start() {
    if (b_Running.exchange(true)) return 0;
    // Nothing of the object may be touched once the thread exists: its Work
    // may delete the object at once.
    m_HasThread = !m_Detached;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    if (m_Detached) pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (m_StackSize > 0) pthread_attr_setstacksize(&attributes, m_StackSize);
    const int result = pthread_create(&m_Thread, &attributes, client_thread_proc, this);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        // No thread runs: the object is still the caller's and may be started again.
        m_HasThread = false;
        b_Running = false;
    }
    return result;
}

void CThread::Work() {}

void CThread::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_SleepMutex);
        b_Running = false;
    }
    m_Wake.notify_all();
}

bool CThread::sleepWhileRunning(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(m_SleepMutex);
    return !m_Wake.wait_for(lock, duration, [this] { return !b_Running.load(); });
}

void CThread::Join() {
    if (!m_HasThread) {
        CLogger::error("Failed to join, result=%d", ESRCH);
        return;
    }
    const int result = pthread_join(m_Thread, nullptr);
    if (result == 0) {
        m_HasThread = false;
        CLogger::debug("joined thread");
    } else {
        CLogger::error("Failed to join, result=%d", result);
    }
}

extern "C" void* client_thread_proc(void* arg) {
    static_cast<CThread*>(arg)->Work();
    return arg;
}

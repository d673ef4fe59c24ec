#include "BatchWorker.h"

#include "BatchPriority.h"
#include "Logger.h"

BatchWorker::BatchWorker() : m_Thread([this] { serve(); }) {}

BatchWorker::~BatchWorker() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Stopping = true;
    }
    m_Changed.notify_all();
    m_Thread.join();
}

void BatchWorker::run(const std::function<void()>& job) {
    std::lock_guard<std::mutex> caller(m_Caller);
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Job = &job;
    m_Done = false;
    m_Failure = nullptr;
    m_Changed.notify_all();
    m_Changed.wait(lock, [this] { return m_Done; });
    if (m_Failure) std::rethrow_exception(m_Failure);
}

void BatchWorker::serve() {
    CLogger::debug("Batch work runs at %s", lowerToBatchPriority());
    std::unique_lock<std::mutex> lock(m_Mutex);
    while (true) {
        m_Changed.wait(lock, [this] { return m_Stopping || m_Job != nullptr; });
        if (m_Job == nullptr) return;  // stopping, nothing left to do
        const std::function<void()>* job = m_Job;
        lock.unlock();
        std::exception_ptr failure;
        try {
            (*job)();
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        m_Job = nullptr;
        m_Failure = failure;
        m_Done = true;
        m_Changed.notify_all();
    }
}

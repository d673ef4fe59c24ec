#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

// A thread at batch priority (see lowerToBatchPriority) that runs jobs for
// others, one at a time; the caller waits for its job. The job's CPU time is
// what Live and the relay leave over, while the caller keeps its own
// priority for what it does with the result: it takes locks the relay's
// threads also take, and a thread at batch priority holding one of those
// could keep them waiting for as long as the machine is busy.
class BatchWorker {
public:
    BatchWorker();
    // Joins the thread (a job under way is finished first).
    ~BatchWorker();
    BatchWorker(const BatchWorker&) = delete;
    BatchWorker& operator=(const BatchWorker&) = delete;

    // Runs `job` on the batch thread and returns when it is done; what it
    // throws is thrown here.
    void run(const std::function<void()>& job);

private:
    void serve();

    std::mutex m_Mutex;  // guards what follows, up to the thread
    std::condition_variable m_Changed;
    const std::function<void()>* m_Job = nullptr;
    std::exception_ptr m_Failure;
    bool m_Done = false;
    bool m_Stopping = false;
    std::mutex m_Caller;  // one job at a time
    std::thread m_Thread;
};

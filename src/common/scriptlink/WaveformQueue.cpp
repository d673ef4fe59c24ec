#include "WaveformQueue.h"

#include "LogBudget.h"
#include "Logger.h"
#include "ReceivedOscMessage.h"
#include "WaveformAnalyzer.h"

#include <exception>

WaveformQueue::WaveformQueue(TabletSink& tablets, std::unique_ptr<WaveformAnalyzer> analyzer)
    : m_Requests(tablets, std::move(analyzer), [this] { return abandoned(); }) {}

WaveformQueue::~WaveformQueue() = default;

// A clip's reset bracket goes out as its request arrives; the rest follows
// from the worker, or at once for a request the queue has no room for.
void WaveformQueue::submit(Kind kind, const ReceivedOscMessage& message) {
    if (kind == Kind::Clip) m_Requests.clipArrived(message);
    const std::size_t size = message.EncodedSize();
    std::size_t waiting = 0;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        waiting = m_Waiting.size();
        if (waiting < kMaxRequests && m_WaitingBytes + size <= kMaxBytes) {
            m_Waiting.push_back({kind, std::vector<char>(message.EncodedData(), message.EncodedData() + size)});
            m_WaitingBytes += size;
            m_Changed.notify_one();
            return;
        }
    }
    refuse(kind, message, waiting);
}

// A full queue: the request is answered as a file that did not load, and the
// log says so within its budget for what the script causes.
void WaveformQueue::refuse(Kind kind, const ReceivedOscMessage& message, std::size_t waiting) {
    if (LogBudget::take(LogBudget::Kind::Script)) {
        CLogger::warn("Waveform requests arrive faster than they are answered: %zu are waiting, so later ones "
                      "are answered as not loaded until there is room again",
                      waiting);
    }
    if (kind == Kind::Clip) m_Requests.clipNotLoaded(message);
}

// The clips waiting have their brackets open on the tablets: each is closed
// as a file that did not load, and the log says how many went.
void WaveformQueue::abandon() {
    std::deque<Request> dropped;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        ++m_Generation;
        dropped.swap(m_Waiting);
        m_WaitingBytes = 0;
        m_Changed.notify_one();
    }
    if (dropped.empty()) return;
    CLogger::warn("%zu waveform requests were dropped before their turn: the Live script went, or the server stops",
                  dropped.size());
    for (const Request& request : dropped) {
        if (request.kind != Kind::Clip) continue;
        try {
            const osc::ReceivedPacket packet(request.bytes.data(),
                                             static_cast<osc::osc_bundle_element_size_t>(request.bytes.size()));
            m_Requests.clipNotLoaded(ReceivedOscMessage(packet));
        } catch (const std::exception&) {
            // A request that could not be read opened no bracket.
        }
    }
}

bool WaveformQueue::abandoned() const { return m_Answering.load() != m_Generation.load(); }

void WaveformQueue::run() {
    std::unique_lock<std::mutex> lock(m_Mutex);
    while (true) {
        m_Changed.wait(lock, [this] { return m_Stopping || !m_Waiting.empty(); });
        if (m_Stopping) return;
        const Request request = std::move(m_Waiting.front());
        m_Waiting.pop_front();
        m_WaitingBytes -= request.bytes.size();
        m_Answering = m_Generation.load();
        lock.unlock();
        answer(request);
        lock.lock();
    }
}

// Nothing a request holds may end the worker.
void WaveformQueue::answer(const Request& request) {
    try {
        const osc::ReceivedPacket packet(request.bytes.data(), static_cast<osc::osc_bundle_element_size_t>(request.bytes.size()));
        const ReceivedOscMessage message(packet);
        if (request.kind == Kind::Clip) {
            m_Requests.clip(message);
        } else {
            m_Requests.simpler(message);
        }
    } catch (const std::exception& error) {
        CLogger::error("Waveform request not answered: %s", error.what());
    }
}

WaveformQueue::Worker::Worker(WaveformQueue& queue) : m_Queue(queue) {
    std::lock_guard<std::mutex> lock(m_Queue.m_Mutex);
    m_Queue.m_Stopping = false;
    m_Queue.m_Thread = std::thread([queue = &m_Queue] { queue->run(); });
}

WaveformQueue::Worker::~Worker() {
    {
        std::lock_guard<std::mutex> lock(m_Queue.m_Mutex);
        m_Queue.m_Stopping = true;
    }
    m_Queue.abandon();
    m_Queue.m_Thread.join();
}

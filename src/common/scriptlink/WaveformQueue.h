#pragma once

#include "WaveformRequests.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class ReceivedOscMessage;
class TabletSink;
class WaveformAnalyzer;

// The Live script's waveform requests, answered in the order they came by a
// worker thread of their own, so that the script connection goes on routing
// while a set's files are decoded. The connection only queues: a request that
// finds the queue full is answered at once as a file that did not load, and
// nothing here ever makes the connection wait for an analysis.
//
// A clip's reset bracket goes out as its request arrives; the rest of each
// request's replies go out together, in request order, when its turn comes,
// as bulk that every tablet takes at its link's pace. The decoding itself
// runs at batch priority (WaveformRequests).
class WaveformQueue {
public:
    // Requests that may wait: more than a large set's clips.
    static constexpr std::size_t kMaxRequests = 512;
    // Bytes they may hold together (a Simpler request can carry a long list).
    static constexpr std::size_t kMaxBytes = std::size_t{8} << 20;

    WaveformQueue(TabletSink& tablets, std::unique_ptr<WaveformAnalyzer> analyzer);
    ~WaveformQueue();
    WaveformQueue(const WaveformQueue&) = delete;
    WaveformQueue& operator=(const WaveformQueue&) = delete;

    // Queue a "/clip/reset_waveform" or a "/device/simpler/reset_waveform".
    void clip(const ReceivedOscMessage& message) { submit(Kind::Clip, message); }
    void simpler(const ReceivedOscMessage& message) { submit(Kind::Simpler, message); }

    // Drops what waits and abandons the analysis under way (the script has
    // gone, or the server stops). Returns at once; the worker lets go of
    // the file within milliseconds.
    void abandon();

    // The worker thread, for as long as this object lives: started here,
    // and on destruction everything is abandoned and the thread joined.
    class Worker {
    public:
        explicit Worker(WaveformQueue& queue);
        ~Worker();
        Worker(const Worker&) = delete;
        Worker& operator=(const Worker&) = delete;

    private:
        WaveformQueue& m_Queue;
    };

private:
    enum class Kind { Clip, Simpler };
    struct Request {
        Kind kind;
        std::vector<char> bytes;  // the message as it arrived
    };

    void submit(Kind kind, const ReceivedOscMessage& message);
    void refuse(Kind kind, const ReceivedOscMessage& message, std::size_t waiting);
    void run();
    void answer(const Request& request);
    bool abandoned() const;

    WaveformRequests m_Requests;

    std::mutex m_Mutex;  // guards what follows, up to the thread
    std::condition_variable m_Changed;
    std::deque<Request> m_Waiting;
    std::size_t m_WaitingBytes = 0;
    bool m_Stopping = false;
    std::thread m_Thread;

    // Raised by abandon(): the request being answered is abandoned once the
    // generation it was taken in is over.
    std::atomic<std::uint64_t> m_Generation{0};
    std::atomic<std::uint64_t> m_Answering{0};
};

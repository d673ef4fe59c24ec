#pragma once

#include "BaseClientThread.h"
#include "Logger.h"
#include "OutboundQueue.h"
#include "ReceivedOscMessage.h"
#include "ThreadMutex.h"

#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <list>
#include <mutex>

// The sessions of one kind (the Wi-Fi listener's, the USB device watcher's),
// their life and the fan-outs over them. One lock guards the list: every
// change and every walk of it holds that lock, which is taken before any
// session's own locks and never twice by one thread. A fan-out only hands
// frames to the sessions' connections, so it holds the lock for microseconds
// whatever the tablets do; a payload going to many sessions is one shared
// frame.
//
// Every session lives the same way: listed and started on a thread of its
// own that nobody joins, it removes and destroys itself as the last thing
// its thread does (Finalize); ending the list asks every session to stop and
// waits until each has gone.
template <class Session>
class SessionList {
public:
    using Frame = OutboundQueue::Frame;

    // Sessions listed, confirmed or not.
    std::size_t getClientCount() {
        std::lock_guard<CThreadMutex> lock(m_ListMutex);
        return m_List.size();
    }
    // Sessions the tablets have confirmed.
    std::size_t getConnectedClientCount() {
        std::size_t connected = 0;
        forEachClient([&](Session& session) { connected += session.isConnected() ? 1 : 0; });
        return connected;
    }
    // One liveness step on every session.
    void Monitor() {
        forEachClient([](Session& session) { session.Monitor(); });
    }
    // The start of a group (an empty bundle) and its end (nothing), to every session.
    void StartBundle() {
        forEachClient([](Session& session) { session.StartBundle(); });
    }
    void EndBundle() {
        forEachClient([](Session& session) { session.EndBundle(); });
    }
    // To every confirmed session but `except` (which may be null).
    void TransmitMessage(const ReceivedOscMessage& message, const BaseClientThread* except) {
        TransmitMessage(OutboundQueue::frame(message.EncodedData(), message.EncodedSize()), except);
    }
    void TransmitMessage(const Frame& frame, const BaseClientThread* except) {
        forEachClient([&](Session& session) {
            if (&session != except) session.TransmitMessage(frame);
        });
    }
    // To every session, confirmed or not.
    void SendData(const char* data, std::size_t length) { SendData(OutboundQueue::frame(data, length)); }
    void SendData(const Frame& frame) {
        forEachClient([&](Session& session) { session.SendData(frame); });
    }

    // Calls `visit` for every session while holding the list lock.
    template <class Visit>
    void forEachClient(Visit visit) {
        std::lock_guard<CThreadMutex> lock(m_ListMutex);
        for (Session* session : m_List) visit(*session);
    }

    // Stops every session and waits until each has removed itself. Each is
    // woken by its stop at once, so the wait needs no time limit.
    void endSessions() {
        std::unique_lock<CThreadMutex> lock(m_ListMutex);
        for (Session* session : m_List) session->Stop();
        m_SessionLeft.wait(lock, [this] { return m_List.empty(); });
    }

protected:
    SessionList() = default;
    // The owner ends the sessions first (endSessions), while it still exists.
    ~SessionList() = default;

    // A session's thread needs little stack.
    static constexpr std::size_t kSessionStack = 512 * 1024;

    // Lists the session and starts its thread; false (and the session is
    // destroyed) when the thread cannot start. `describe` names it in the log.
    bool launch(Session* session, const char* describe) {
        session->setDetached();
        session->setStackSize(kSessionStack);
        {
            std::lock_guard<CThreadMutex> lock(m_ListMutex);
            m_List.push_back(session);
        }
        const int result = session->Start();
        if (result == 0) return true;
        CLogger::error("Failed to start the session for %s: %s", describe, std::strerror(result));
        session->Finalize();
        return false;
    }

    // The session's own thread, as its last act: removes and destroys it.
    void removeSession(Session* session) {
        std::lock_guard<CThreadMutex> lock(m_ListMutex);
        m_List.remove(session);
        delete session;
        // Notified under the lock: an end waiting for the list to empty
        // cannot finish before this thread has let go of the list.
        m_SessionLeft.notify_all();
    }

    CThreadMutex m_ListMutex;  // guards m_List
    // Sessions release themselves when they end, so the list holds plain pointers.
    std::list<Session*> m_List;

private:
    std::condition_variable_any m_SessionLeft;
};

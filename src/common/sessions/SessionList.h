#pragma once

#include "BaseClientThread.h"
#include "OutboundQueue.h"
#include "ReceivedOscMessage.h"
#include "ThreadMutex.h"

#include <cstddef>
#include <list>
#include <mutex>

// The sessions of one kind (the Wi-Fi listener's, the USB device watcher's)
// and the fan-outs over them. One lock guards the list: every change and
// every walk of it holds that lock, which is taken before any session's own
// locks and never twice by one thread. A fan-out only queues frames for the
// sessions, so it holds the lock for microseconds whatever the tablets do;
// a payload going to many sessions is one shared frame.
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

protected:
    SessionList() = default;
    ~SessionList() = default;

    CThreadMutex m_ListMutex;  // guards m_List
    // Sessions release themselves when they end, so the list holds plain pointers.
    std::list<Session*> m_List;
};

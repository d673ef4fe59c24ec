#pragma once

#include "BaseClientThread.h"
#include "OutboundQueue.h"
#include "ServerLinks.h"
#include "ThreadMutex.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <vector>

// How a tablet reaches the server.
enum class Transport { Wifi, Usb };

// Every tablet session of every kind, their life, the fan-outs over them and
// their flow control, written once for Wi-Fi and USB. "Every session" is the
// Wi-Fi sessions first, then the USB sessions.
//
// One lock guards the lists: every change and every walk holds it, it is
// taken before any session's own locks and never twice by one thread. A
// fan-out only hands frames to the sessions' connections, so it holds the
// lock for microseconds whatever the tablets do; a payload going to many
// sessions is one shared frame.
//
// Flow control: ordinary frames never wait for a tablet (each has its own
// queue, and only a stalled tablet, or one that falls absurdly far behind,
// is let go). Bulk frames (waveform replies) are handed on only while every
// session has room for them, so a slow link paces the producer instead of
// piling up frames. Senders that can wait (a tablet's broadcasts) ask
// whether a receiver is backlogged and are woken when room is made.
//
// Every session lives the same way: listed and started on a thread of its
// own that nobody joins, it removes and destroys itself as the last thing its
// thread does; ending a kind asks each of its sessions to stop and waits
// until each has gone.
class SessionHub {
public:
    using Frame = OutboundQueue::Frame;
    using Abandoned = std::function<bool()>;

    SessionHub() = default;
    // The owner ends every session first (endSessions), while the hub exists.
    ~SessionHub() = default;
    SessionHub(const SessionHub&) = delete;
    SessionHub& operator=(const SessionHub&) = delete;

    // Lists the session and starts its thread; false (and the session is
    // finalized) when the thread cannot start. `describe` names it in the log.
    bool launch(BaseClientThread* session, Transport transport, const char* describe);
    // The session's own thread, as its last act: removes and destroys it.
    void remove(BaseClientThread* session);
    // Lists and unlists a session whose owner runs and destroys it (tests).
    void add(BaseClientThread* session, Transport transport);
    void unlist(BaseClientThread* session);
    // Stops every session of the kind and waits until each has removed
    // itself. Each is woken by its stop at once, so the wait needs no limit.
    void endSessions(Transport transport);

    // Sessions listed, confirmed or not; those the tablets have confirmed.
    std::size_t count(Transport transport);
    std::size_t connectedCount(Transport transport);
    SessionCounts counts();
    // The tablets that confirmed their sessions, Wi-Fi first.
    std::vector<TabletStatus> tablets();

    // Calls `visit` for every session of the kind while holding the lock.
    template <class Visit>
    void forEach(Transport transport, Visit visit) {
        std::lock_guard<CThreadMutex> lock(m_Lock);
        for (BaseClientThread* session : sessionsOf(transport)) visit(*session);
    }

    // The fan-outs.
    // To every confirmed session but `except` (which may be null).
    void toConnected(const Frame& frame, const BaseClientThread* except);
    // To every session, confirmed or not.
    void toEvery(const Frame& frame);
    // The start of a group (an empty bundle), to every session; its end is
    // not signalled to the tablets.
    void bundleStart();
    // One liveness step on every session.
    void monitor();

    // Flow control.
    // Whether a confirmed session other than `except` has so much waiting
    // that a sender able to wait should.
    bool backlogged(const BaseClientThread* except);
    // Waits until every session has room for bulk; false when `abandoned`
    // turns true meanwhile. Then the producer queues its next frame.
    bool waitForBulkRoom(const Abandoned& abandoned);
    // Queues a bulk frame on every session, behind its ordinary frames.
    void toEveryBulk(const Frame& frame);
    // Room was made somewhere (a queue drained below its mark, a session
    // left): wakes the senders that wait for it.
    void roomFreed();

private:
    std::list<BaseClientThread*>& sessionsOf(Transport transport) {
        return transport == Transport::Wifi ? m_Wifi : m_Usb;
    }
    template <class Visit>
    void forEveryLocked(Visit visit) {
        for (BaseClientThread* session : m_Wifi) visit(*session);
        for (BaseClientThread* session : m_Usb) visit(*session);
    }
    bool bulkRoomEverywhere();

    CThreadMutex m_Lock;  // guards the lists
    // Sessions release themselves when they end, so the lists hold plain pointers.
    std::list<BaseClientThread*> m_Wifi;
    std::list<BaseClientThread*> m_Usb;
    std::condition_variable_any m_SessionLeft;

    // The bulk producer's wait for room; taken before m_Lock, never inside it.
    std::mutex m_RoomMutex;
    std::condition_variable m_Room;
};

#pragma once

#include "AdmissionPolicy.h"
#include "BaseClientThread.h"
#include "Monitored.h"
#include "OutboundQueue.h"
#include "TabletRoster.h"
#include "TabletSink.h"
#include "ThreadMutex.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
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
class SessionHub final : public TabletSink, public TabletRoster, public Monitored {
public:

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

    // Who gets a place when a newcomer comes, decided under the lock by the
    // listener's policy. `samePeer` picks the sessions of the newcomer's
    // address or device; `countLeaving`: sessions already stopping still
    // count (their threads and descriptors are not yet free). A session that
    // gives its place is told to stop, and leaves by itself; `evicted` names it.
    struct Admission {
        AdmissionPolicy::Decision decision;
        std::string evicted;
    };
    using SamePeer = std::function<bool(const BaseClientThread&)>;
    Admission admit(Transport transport, const AdmissionPolicy& policy, const SamePeer& samePeer, bool countLeaving);

    // Sessions listed, confirmed or not; those the tablets have confirmed.
    std::size_t count(Transport transport);
    std::size_t connectedCount(Transport transport);
    SessionCounts counts() override;
    std::vector<TabletStatus> tablets() override;

    // Calls `visit` for every session of the kind while holding the lock.
    template <class Visit>
    void forEach(Transport transport, Visit visit) {
        std::lock_guard<CThreadMutex> lock(m_Lock);
        for (BaseClientThread* session : sessionsOf(transport)) visit(*session);
    }

    // The fan-outs and their flow control (TabletSink).
    void toConnected(const Frame& frame, const TabletSession* except) override;
    void toEvery(const Frame& frame) override;
    void bundleStart() override;
    bool waitForBulkRoom(const Abandoned& abandoned) override;
    void toEveryBulk(const Frame& frame) override;
    bool backlogged(const TabletSession* except) override;
    // Room was made somewhere (a queue drained below its mark, a session
    // left): wakes the senders that wait for it.
    void roomFreed() override;
    // One liveness step on every session.
    void Monitor() override;

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

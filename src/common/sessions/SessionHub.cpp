#include "SessionHub.h"

#include "Clock.h"
#include "Logger.h"

#include <chrono>
#include <cstring>

namespace {

// A session's thread needs little stack.
constexpr std::size_t kSessionStack = 512 * 1024;
// The bulk producer looks again this often should no room signal come (a
// session whose stream closed makes room without one).
constexpr auto kBulkRecheck = std::chrono::milliseconds(50);

}  // namespace

bool SessionHub::launch(BaseClientThread* session, Transport transport, const char* describe) {
    session->setDetached();
    session->setStackSize(kSessionStack);
    add(session, transport);
    const int result = session->Start();
    if (result == 0) return true;
    CLogger::error("Failed to start the session for %s: %s", describe, std::strerror(result));
    session->Finalize();
    return false;
}

void SessionHub::add(BaseClientThread* session, Transport transport) {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    sessionsOf(transport).push_back(session);
}

void SessionHub::unlist(BaseClientThread* session) {
    {
        std::lock_guard<CThreadMutex> lock(m_Lock);
        m_Wifi.remove(session);
        m_Usb.remove(session);
    }
    roomFreed();
}

// Everything is done under the lock: an end waiting for the list to empty
// cannot finish (and free the hub) before this thread has let go of it. The
// room it leaves is told without the room lock (taken before this one): a
// producer that misses it looks again within moments.
void SessionHub::remove(BaseClientThread* session) {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    m_Wifi.remove(session);
    m_Usb.remove(session);
    delete session;
    m_Room.notify_all();
    forEveryLocked([](BaseClientThread& waiting) { waiting.wakeIfWaiting(); });
    m_SessionLeft.notify_all();
}

void SessionHub::endSessions(Transport transport) {
    std::unique_lock<CThreadMutex> lock(m_Lock);
    std::list<BaseClientThread*>& sessions = sessionsOf(transport);
    for (BaseClientThread* session : sessions) session->Stop();
    m_SessionLeft.wait(lock, [&sessions] { return sessions.empty(); });
}

std::size_t SessionHub::count(Transport transport) {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    return sessionsOf(transport).size();
}

std::size_t SessionHub::connectedCount(Transport transport) {
    std::size_t connected = 0;
    forEach(transport, [&](BaseClientThread& session) { connected += session.isConnected() ? 1 : 0; });
    return connected;
}

SessionCounts SessionHub::counts() {
    SessionCounts counts;
    std::lock_guard<CThreadMutex> lock(m_Lock);
    counts.wifi = m_Wifi.size();
    counts.usb = m_Usb.size();
    forEveryLocked([&](BaseClientThread& session) { counts.connected += session.isConnected() ? 1 : 0; });
    return counts;
}

std::vector<TabletStatus> SessionHub::tablets() {
    std::vector<TabletStatus> tablets;
    std::lock_guard<CThreadMutex> lock(m_Lock);
    forEveryLocked([&](BaseClientThread& session) {
        if (session.isConnected()) tablets.push_back(session.status());
    });
    return tablets;
}

SessionHub::Admission SessionHub::admit(Transport transport, const AdmissionPolicy& policy, const SamePeer& samePeer,
                                       bool countLeaving) {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    std::vector<AdmissionPolicy::Occupant> occupants;
    for (BaseClientThread* session : sessionsOf(transport)) {
        if (!countLeaving && !session->isRunning()) continue;
        occupants.push_back({session, samePeer(*session), session->isConnected(), session->lastHeardMs()});
    }
    Admission admission{policy.decide(occupants, Clock::nowMilliseconds()), {}};
    if (admission.decision.verdict != AdmissionPolicy::Decision::Verdict::Replace) return admission;
    for (BaseClientThread* session : sessionsOf(transport)) {
        if (session != admission.decision.evict) continue;
        admission.evicted = session->peerAddress();
        session->Stop();
    }
    return admission;
}

void SessionHub::toConnected(const Frame& frame, const TabletSession* except) {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    forEveryLocked([&](BaseClientThread& session) {
        if (&session != except) session.TransmitMessage(frame);
    });
}

void SessionHub::toEvery(const Frame& frame) {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    forEveryLocked([&](BaseClientThread& session) { session.SendData(frame); });
}

void SessionHub::bundleStart() {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    forEveryLocked([](BaseClientThread& session) { session.StartBundle(); });
}

void SessionHub::Monitor() {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    forEveryLocked([](BaseClientThread& session) { session.Monitor(); });
}

bool SessionHub::backlogged(const TabletSession* except) {
    bool backlogged = false;
    std::lock_guard<CThreadMutex> lock(m_Lock);
    forEveryLocked([&](BaseClientThread& session) {
        backlogged = backlogged || (&session != except && session.isConnected() && session.backlogged());
    });
    return backlogged;
}

bool SessionHub::bulkRoomEverywhere() {
    bool room = true;
    std::lock_guard<CThreadMutex> lock(m_Lock);
    forEveryLocked([&](BaseClientThread& session) { room = room && session.bulkRoom(); });
    return room;
}

bool SessionHub::waitForBulkRoom(const Abandoned& abandoned) {
    std::unique_lock<std::mutex> room(m_RoomMutex);
    while (!bulkRoomEverywhere()) {
        if (abandoned && abandoned()) return false;
        m_Room.wait_for(room, kBulkRecheck);
    }
    return !(abandoned && abandoned());
}

void SessionHub::toEveryBulk(const Frame& frame) {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    forEveryLocked([&](BaseClientThread& session) { session.SendBulk(frame); });
}

// Taking the room lock orders this signal after a producer's look at the
// queues: a producer that found no room is already waiting, and is woken.
void SessionHub::roomFreed() {
    { std::lock_guard<std::mutex> room(m_RoomMutex); }
    m_Room.notify_all();
    std::lock_guard<CThreadMutex> lock(m_Lock);
    forEveryLocked([](BaseClientThread& session) { session.wakeIfWaiting(); });
}

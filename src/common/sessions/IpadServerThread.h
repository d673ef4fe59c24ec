#pragma once

#include "AdmissionPolicy.h"
#include "AllowList.h"
#include "IpadClientThread.h"
#include "SessionHub.h"
#include "SocketUtil.h"
#include "Thread.h"

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>


// The Wi-Fi listener: accepts the tablets' TCP connections on its port and
// runs one session for each in the session hub. (Any tablet's: the name is
// kept, see docs/kept-names.md.)
class IpadServerThread : public CThread {
public:
    // The port the settings choose unless they say otherwise (wifi.port):
    // known, so that a firewall can be opened for it.
    static constexpr std::uint16_t kDefaultPort = CORVILANE_WIFI_PORT;
    // At a cap, a newcomer takes the place of a confirmed session once the
    // session has been silent this long: fifty ping periods, as long as the
    // script may be silent before it counts as not responding.
    static constexpr std::uint64_t kEvictAfterMilliseconds = 10'000;

    // How a tablet's stream finds out that the tablet vanished (out of
    // Wi-Fi range, asleep: no FIN, no RST), and how little of what waits
    // for it the kernel holds.
    struct TabletLink {
        int keepAliveIdleSeconds = 10;
        int keepAliveIntervalSeconds = 5;
        int keepAliveProbes = 3;
        // Data unacknowledged this long ends the connection: a tablet that
        // answers its pings (every 200 ms) never comes near it.
        unsigned userTimeoutMilliseconds = 20'000;
        // About one waveform reply's worth: an ordinary frame waits little
        // behind what the kernel already holds.
        int notSentLowWater = static_cast<int>(BaseClientThread::kUnsentCeiling);
    };
    // Tests shorten the transport's times; listeners made afterwards use them.
    static void setTabletLinkForTesting(const TabletLink& link);

    // Binds to `port` on every local address; 0, or a port that is not
    // free, lets the system choose. Only peers that `allow` names get a
    // session; sessions live in `hub` and reach the rest of the server
    // through `peers`.
    IpadServerThread(TabletPeers& peers, SessionHub& hub, std::uint16_t port = 0,
                     SessionLimits limits = kWifiSessionLimits, AllowList allow = AllowList::defaults());
    // Stops every Wi-Fi session and waits until each has released itself.
    ~IpadServerThread() override;

    void Work() override;
    // Also wakes a blocked accept, so the loop can end.
    void Stop() override;

    std::uint32_t getPort() const { return m_Port; }

    // The Wi-Fi sessions, confirmed or not; those the tablets confirmed.
    std::size_t getClientCount() { return m_Hub.count(Transport::Wifi); }
    std::size_t getConnectedClientCount() { return m_Hub.connectedCount(Transport::Wifi); }
    void endSessions() { m_Hub.endSessions(Transport::Wifi); }

    // Removes and destroys a session that has ended (its Finalize).
    void RemoveClient(IpadClientThread* client);

private:
    void accept();
    void createSocket(std::uint16_t port);
    bool allowed(const sockaddr_in& peer);
    bool admit(const sockaddr_in& peer);
    void startSession(const sockaddr_in& peer, sockets::Descriptor session);

    TabletPeers& m_Peers;
    SessionHub& m_Hub;
    const AdmissionPolicy m_Admission;
    const AllowList m_Allow;
    const TabletLink m_TabletLink;
    std::atomic<int> m_Socket{0};
    std::uint32_t m_Port = 0;
};

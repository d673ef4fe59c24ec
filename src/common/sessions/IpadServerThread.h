#pragma once

#include "AllowList.h"
#include "IpadClientThread.h"
#include "SessionList.h"
#include "SocketUtil.h"
#include "Thread.h"

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

class ServerLinks;

// How many Wi-Fi sessions the listener keeps at once, in all and from one
// peer address; further connections are refused.
struct SessionLimits {
    std::size_t total = 32;
    std::size_t perAddress = 8;
};

// The Wi-Fi listener: accepts the tablets' TCP connections on its port, runs
// one session for each and fans messages out to them.
class IpadServerThread : public CThread, public SessionList<IpadClientThread> {
public:
    // The port the settings choose unless they say otherwise (wifi.port):
    // known, so that a firewall can be opened for it.
    static constexpr std::uint16_t kDefaultPort = CORVILANE_WIFI_PORT;
    // A full listener gives the place of a confirmed session to a newcomer
    // once the session has been silent this long: fifty ping periods, as long
    // as the script may be silent before it counts as not responding.
    static constexpr std::uint64_t kEvictAfterSeconds = 10;

    // Binds to `port` on every local address; 0, or a port that is not
    // free, lets the system choose. Only peers that `allow` names get a
    // session. The sessions reach the rest of the server through `links`.
    explicit IpadServerThread(ServerLinks& links, std::uint16_t port = 0, SessionLimits limits = {},
                              AllowList allow = AllowList::defaults());
    // Stops every session and waits until each has released itself.
    ~IpadServerThread() override;

    void Work() override;
    // Also wakes a blocked accept, so the loop can end.
    void Stop() override;

    std::uint32_t getPort() const { return m_Port; }

    // Removes and destroys a session that has ended (its Finalize).
    void RemoveClient(IpadClientThread* client);

private:
    void accept();
    void createSocket(std::uint16_t port);
    bool allowed(const sockaddr_in& peer);
    bool admit(const sockaddr_in& peer);
    bool refuse(const sockaddr_in& peer, std::size_t total, std::size_t fromPeer);
    bool logRefusalNow();
    void startSession(const sockaddr_in& peer, sockets::Descriptor session);

    ServerLinks& m_Links;
    const SessionLimits m_Limits;
    const AllowList m_Allow;
    std::atomic<int> m_Socket{0};
    std::uint32_t m_Port = 0;
    std::uint64_t m_LastRefusalLogged = 0;  // seconds; the accept loop's own
};

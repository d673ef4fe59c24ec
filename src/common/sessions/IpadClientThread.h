#pragma once

#include "BaseClientThread.h"

class IpadServerThread;

// A tablet session over Wi-Fi: the accepted socket exists from the start, and
// losing it ends the session, which then leaves its listener's list.
// (Any tablet's: the name is kept, see docs/kept-names.md.)
class IpadClientThread : public BaseClientThread {
public:
    IpadClientThread(TabletPeers& peers, const sockaddr_in& peer, int socket, IpadServerThread& listener);

    bool Init() override { return true; }
    void PerformDisconnect() override { Stop(); }
    void Finalize() override;

private:
    IpadServerThread& m_Listener;
};

#include "IpadClientThread.h"

#include "Console.h"
#include "IpadServerThread.h"

IpadClientThread::IpadClientThread(TabletPeers& peers, const sockaddr_in& peer, int socket,
                                   IpadServerThread& listener)
    : BaseClientThread(peers), m_Listener(listener) {
    m_Addr = peer;
    openStream(socket);
}

void IpadClientThread::Finalize() {
    Stop();
    closeStream();
    Console::print("pointer of client removed: %p\n", static_cast<void*>(this));
    m_Listener.RemoveClient(this);  // destroys this session
}

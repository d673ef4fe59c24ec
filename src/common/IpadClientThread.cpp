#include "IpadClientThread.h"

#include "IpadServerThread.h"

#include <cstdio>

IpadClientThread::IpadClientThread(const sockaddr_in& peer, int socket, IpadServerThread& listener)
    : m_Listener(listener) {
    m_Addr = peer;
    m_Socket = socket;
}

void IpadClientThread::Finalize() {
    Stop();
    closeSocket();
    std::printf("pointer of client removed: %p\n", static_cast<void*>(this));
    m_Listener.RemoveClient(this);  // destroys this session
}

#pragma once

#include "SocketUtil.h"

// A descriptor that a thread waiting in poll() watches so that other threads
// can wake it (an eventfd).
class Wakeup {
public:
    // Throws std::system_error when no descriptor can be had (the process
    // has run out of them): nothing may wait on a wake-up that cannot come.
    Wakeup();

    // Makes fd() readable until the waiting thread drains it.
    void notify();
    void drain();
    int fd() const { return m_Event.get(); }

private:
    sockets::Descriptor m_Event;
};

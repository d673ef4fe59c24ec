#include "Wakeup.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

Wakeup::Wakeup() : m_Event(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void Wakeup::notify() {
    const std::uint64_t one = 1;
    (void)!write(m_Event.get(), &one, sizeof one);
}

void Wakeup::drain() {
    std::uint64_t count = 0;
    (void)!read(m_Event.get(), &count, sizeof count);
}

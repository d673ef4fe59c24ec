#include "Wakeup.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

Wakeup::Wakeup() : m_Event(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    // Without it the waiting thread could never be woken, not even to stop.
    if (!m_Event) throw std::system_error(errno, std::generic_category(), "no descriptor for a wake-up");
}

void Wakeup::notify() {
    const std::uint64_t one = 1;
    (void)!write(m_Event.get(), &one, sizeof one);
}

void Wakeup::drain() {
    std::uint64_t count = 0;
    (void)!read(m_Event.get(), &count, sizeof count);
}

#include "InstanceLock.h"

#include "UserFolders.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>

namespace {

// "PID PORT WANTED\n", as the holder wrote it.
std::optional<InstanceLock::Holder> readHolder(int descriptor) {
    char text[64] = {};
    const ssize_t got = pread(descriptor, text, sizeof text - 1, 0);
    InstanceLock::Holder holder;
    long pid = 0;
    unsigned port = 0;
    unsigned wanted = 0;
    const int fields = got > 0 ? std::sscanf(text, "%ld %u %u", &pid, &port, &wanted) : 0;
    if (fields < 1 || pid <= 0) return holder;  // held, by someone not yet written down
    holder.pid = static_cast<pid_t>(pid);
    if (fields >= 2 && port <= 65535) holder.port = static_cast<std::uint16_t>(port);
    if (fields == 3 && wanted <= 65535) holder.wanted = static_cast<std::uint16_t>(wanted);
    return holder;
}

}  // namespace

std::string InstanceLock::path() {
    const std::string folder = user_folders::runtime();
    return folder.empty() ? "" : folder + "/corvilane.lock";
}

std::string InstanceLock::alreadyRunning(const Holder& holder) {
    return "corviLane is already running (pid " + (holder.pid > 0 ? std::to_string(holder.pid) : "unknown") + ")";
}

std::optional<InstanceLock> InstanceLock::take(std::optional<Holder>& holder) {
    holder.reset();
    const std::string file = path();
    if (file.empty() || !user_folders::make(user_folders::runtime())) return std::nullopt;
    const int descriptor = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor < 0) return std::nullopt;
    if (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        holder = errno == EWOULDBLOCK ? readHolder(descriptor) : std::nullopt;
        close(descriptor);
        return std::nullopt;
    }
    InstanceLock lock(descriptor);
    lock.write(0, 0);
    return lock;
}

std::optional<InstanceLock::Holder> InstanceLock::holder() {
    const std::string file = path();
    const int descriptor = file.empty() ? -1 : open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (descriptor < 0) return std::nullopt;
    std::optional<Holder> holder;
    if (flock(descriptor, LOCK_SH | LOCK_NB) != 0) {
        holder = readHolder(descriptor);
    } else {
        flock(descriptor, LOCK_UN);
    }
    close(descriptor);
    return holder;
}

InstanceLock::InstanceLock(int descriptor) : m_Descriptor(descriptor) {}

InstanceLock::InstanceLock(InstanceLock&& other) noexcept : m_Descriptor(std::exchange(other.m_Descriptor, -1)) {}

InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept {
    if (this != &other) {
        if (m_Descriptor >= 0) close(m_Descriptor);
        m_Descriptor = std::exchange(other.m_Descriptor, -1);
    }
    return *this;
}

// Closing the file lets go of the lock; the file stays for the next holder.
InstanceLock::~InstanceLock() {
    if (m_Descriptor >= 0) close(m_Descriptor);
}

void InstanceLock::publishPorts(std::uint16_t port, std::uint16_t wanted) { write(port, wanted); }

void InstanceLock::write(std::uint16_t port, std::uint16_t wanted) {
    const std::string text =
        std::to_string(getpid()) + " " + std::to_string(port) + " " + std::to_string(wanted) + "\n";
    if (ftruncate(m_Descriptor, 0) == 0) (void)!pwrite(m_Descriptor, text.data(), text.size(), 0);
}

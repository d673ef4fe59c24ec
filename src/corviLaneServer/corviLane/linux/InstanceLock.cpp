#include "InstanceLock.h"

#include "UserFolders.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>

namespace {

// Room for the numbers and a log path of PATH_MAX.
constexpr std::size_t kMaxText = 4200;

// "PID PORT WANTED LOG\n", as the holder wrote it; the log is the rest of
// the line after the third number (a path may hold blanks).
std::optional<InstanceLock::Holder> readHolder(int descriptor) {
    std::string text(kMaxText, '\0');
    const ssize_t got = pread(descriptor, text.data(), text.size() - 1, 0);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    text = text.substr(0, text.find('\n'));
    InstanceLock::Holder holder;
    long pid = 0;
    unsigned port = 0;
    unsigned wanted = 0;
    int used = 0;
    const int fields = std::sscanf(text.c_str(), "%ld %u %u%n", &pid, &port, &wanted, &used);
    if (fields < 1 || pid <= 0) return holder;  // held, by someone not yet written down
    holder.pid = static_cast<pid_t>(pid);
    if (fields >= 2 && port <= 65535) holder.port = static_cast<std::uint16_t>(port);
    if (fields == 3 && wanted <= 65535) holder.wanted = static_cast<std::uint16_t>(wanted);
    if (fields == 3 && static_cast<std::size_t>(used) + 1 < text.size() && text[static_cast<std::size_t>(used)] == ' ') {
        holder.log = text.substr(static_cast<std::size_t>(used) + 1);
    }
    return holder;
}

// Opens the lock file without waiting on it and only when it is a regular
// file: a FIFO or a device put in its place must not hold the start (or
// the check) for ever.
int openRegular(const std::string& file, int flags) {
    const int descriptor = open(file.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600);
    if (descriptor < 0) return -1;
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(descriptor);
        errno = EINVAL;
        return -1;
    }
    return descriptor;
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
    const int descriptor = openRegular(file, O_RDWR | O_CREAT);
    if (descriptor < 0) return std::nullopt;
    if (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        holder = errno == EWOULDBLOCK ? readHolder(descriptor) : std::nullopt;
        close(descriptor);
        return std::nullopt;
    }
    InstanceLock lock(descriptor);
    lock.write(0, 0, "");
    return lock;
}

std::optional<InstanceLock::Holder> InstanceLock::holder() {
    const std::string file = path();
    const int descriptor = file.empty() ? -1 : openRegular(file, O_RDONLY);
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

void InstanceLock::publish(std::uint16_t port, std::uint16_t wanted, const std::string& log) {
    write(port, wanted, log);
}

void InstanceLock::write(std::uint16_t port, std::uint16_t wanted, const std::string& log) {
    // A path with a line break would end the line early: such a path is left out.
    const bool sayLog = !log.empty() && log.find('\n') == std::string::npos && log.size() < kMaxText - 64;
    const std::string text = std::to_string(getpid()) + " " + std::to_string(port) + " " + std::to_string(wanted) +
                             (sayLog ? " " + log : "") + "\n";
    if (ftruncate(m_Descriptor, 0) == 0) (void)!pwrite(m_Descriptor, text.data(), text.size(), 0);
}

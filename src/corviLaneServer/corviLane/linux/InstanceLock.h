#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

// One corviLane per user: a lock on "corvilane.lock" in the user's runtime
// folder, held for the life of the process by the server or tray program
// that runs the server. The holder writes its process number there and,
// once its Wi-Fi listener has a port, that port, so that others can find it.
class InstanceLock {
public:
    struct Holder {
        pid_t pid = 0;
        std::uint16_t port = 0;  // 0: not known yet
    };

    // Takes the lock. When another process holds it, nothing is taken and
    // `holder` says who; when the file cannot be had at all (no folder),
    // the lock is not taken and `holder` stays empty.
    static std::optional<InstanceLock> take(std::optional<Holder>& holder);
    // Who holds the lock now, if anyone.
    static std::optional<Holder> holder();
    static std::string path();

    InstanceLock(InstanceLock&& other) noexcept;
    InstanceLock& operator=(InstanceLock&&) = delete;
    InstanceLock(const InstanceLock&) = delete;
    ~InstanceLock();

    void publishPort(std::uint16_t port);

private:
    explicit InstanceLock(int descriptor);
    void write(std::uint16_t port);

    int m_Descriptor;
};

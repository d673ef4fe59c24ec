#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

// One corviLane per user: a lock on "corvilane.lock" in the user's runtime
// folder, held for the life of the process by the server or tray program
// that runs the server. The holder writes its process number there and,
// once its Wi-Fi listener has a port, that port, the one the settings asked
// for and the absolute path of its log, so that others can find it:
// "PID PORT WANTED LOG\n" (readers of the first three fields alone still
// read it).
class InstanceLock {
public:
    struct Holder {
        pid_t pid = 0;
        std::uint16_t port = 0;    // the Wi-Fi listener's; 0: not known yet
        std::uint16_t wanted = 0;  // the one the settings asked for
        std::string log;           // its log file; empty: not said
    };

    // Takes the lock. When another process holds it, nothing is taken and
    // `holder` says who; when the file cannot be had at all (no folder),
    // the lock is not taken and `holder` stays empty.
    static std::optional<InstanceLock> take(std::optional<Holder>& holder);
    // Who holds the lock now, if anyone.
    static std::optional<Holder> holder();
    static std::string path();
    // What a second copy says: "corviLane is already running (pid N)".
    static std::string alreadyRunning(const Holder& holder);

    InstanceLock(InstanceLock&& other) noexcept;
    InstanceLock& operator=(InstanceLock&& other) noexcept;
    InstanceLock(const InstanceLock&) = delete;
    ~InstanceLock();

    void publish(std::uint16_t port, std::uint16_t wanted, const std::string& log);

private:
    explicit InstanceLock(int descriptor);
    void write(std::uint16_t port, std::uint16_t wanted, const std::string& log);

    int m_Descriptor;
};

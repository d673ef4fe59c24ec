#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// How many sessions a listener keeps at once: in all, and from one peer (a
// network address for Wi-Fi, a device for USB).
struct SessionLimits {
    std::size_t total = 0;
    std::size_t perPeer = 0;
};

// The caps unless the settings say otherwise, and the most the settings may
// ask for: a session is a thread and two descriptors, and a stage holds a
// few tablets.
inline constexpr SessionLimits kWifiSessionLimits{32, 8};
inline constexpr SessionLimits kUsbSessionLimits{16, 4};
inline constexpr int kMostWifiSessions = 256;
inline constexpr int kMostUsbSessions = 64;

// Who gets a place when a newcomer arrives at a listener, shared by Wi-Fi and
// USB. Within the caps everyone does. At a cap the newcomer may take the
// place of a session that has gone quiet: among the sessions that count
// against that cap (its peer's at the per-peer cap, all of them at the total
// cap), the unconfirmed one silent longest, else the confirmed one silent
// longest once it has sent nothing, not even a pong, for `replaceAfterMs`. A
// tablet that answers its pings never gives its place; then the newcomer is
// refused.
class AdmissionPolicy {
public:
    // A session already listed, as admission sees it.
    struct Occupant {
        const void* session = nullptr;  // what the caller knows it by
        bool samePeer = false;          // the newcomer's address or device
        bool confirmed = false;
        std::uint64_t lastHeardMs = 0;
    };

    struct Decision {
        enum class Verdict { Admit, Replace, Refuse };
        Verdict verdict = Verdict::Admit;
        const void* evict = nullptr;  // Replace: who gives its place
        bool evictConfirmed = false;
        std::uint64_t silentMs = 0;   // Replace: how long it has been silent
        bool peerCapReached = false;  // the per-peer cap (else the total one) was reached
        std::size_t total = 0;        // sessions counted
        std::size_t fromPeer = 0;     // of them, the newcomer's peer's
    };

    // `replace`: whether a place may be given at all (else a cap refuses).
    AdmissionPolicy(SessionLimits limits, bool replace, std::uint64_t replaceAfterMs)
        : m_Limits(limits), m_Replace(replace), m_ReplaceAfterMs(replaceAfterMs) {}

    Decision decide(const std::vector<Occupant>& occupants, std::uint64_t nowMs) const;
    SessionLimits limits() const { return m_Limits; }

private:
    const SessionLimits m_Limits;
    const bool m_Replace;
    const std::uint64_t m_ReplaceAfterMs;
};

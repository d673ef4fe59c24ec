#include "AdmissionPolicy.h"

AdmissionPolicy::Decision AdmissionPolicy::decide(const std::vector<Occupant>& occupants,
                                                  std::uint64_t nowMs) const {
    Decision decision;
    decision.total = occupants.size();
    for (const Occupant& occupant : occupants) decision.fromPeer += occupant.samePeer ? 1 : 0;
    decision.peerCapReached = decision.fromPeer >= m_Limits.perPeer;
    if (!decision.peerCapReached && decision.total < m_Limits.total) return decision;
    decision.verdict = Decision::Verdict::Refuse;
    if (!m_Replace) return decision;

    const Occupant* unconfirmed = nullptr;
    const Occupant* confirmed = nullptr;
    for (const Occupant& occupant : occupants) {
        if (decision.peerCapReached && !occupant.samePeer) continue;
        const Occupant*& oldest = occupant.confirmed ? confirmed : unconfirmed;
        if (oldest == nullptr || occupant.lastHeardMs < oldest->lastHeardMs) oldest = &occupant;
    }
    const Occupant* evict = unconfirmed;
    if (evict == nullptr && confirmed != nullptr && nowMs >= confirmed->lastHeardMs + m_ReplaceAfterMs) {
        evict = confirmed;
    }
    if (evict == nullptr) return decision;
    decision.verdict = Decision::Verdict::Replace;
    decision.evict = evict->session;
    decision.evictConfirmed = evict->confirmed;
    decision.silentMs = nowMs > evict->lastHeardMs ? nowMs - evict->lastHeardMs : 0;
    return decision;
}

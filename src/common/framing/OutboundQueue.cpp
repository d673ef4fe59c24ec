#include "OutboundQueue.h"

#include "FrameWriter.h"

#include <algorithm>

OutboundQueue::Frame OutboundQueue::frame(const char* payload, std::size_t length) {
    return std::make_shared<const std::string>(FrameWriter::frame({payload, length}));
}

OutboundQueue::Push OutboundQueue::push(Frame frame, Lane lane) {
    if (!frame || frame->empty()) return Push::Queued;
    if (lane == Lane::Interactive && frame->size() > m_Limit - std::min(m_InteractiveBytes, m_Limit)) {
        return Push::Overflow;
    }
    const bool first = empty();
    laneBytes(lane) += frame->size();
    (lane == Lane::Interactive ? m_Interactive : m_Bulk).push_back(std::move(frame));
    return first ? Push::First : Push::Queued;
}

OutboundQueue::Gathered OutboundQueue::gather(iovec* out, std::size_t max) const {
    Gathered gathered;
    auto add = [&](const Frame& frame, std::size_t skip) {
        out[gathered.parts++] = {const_cast<char*>(frame->data()) + skip, frame->size() - skip};
    };
    if (m_Current && gathered.parts < max) add(m_Current, m_Offset);
    for (auto frame = m_Interactive.begin(); frame != m_Interactive.end() && gathered.parts < max; ++frame) {
        add(*frame, 0);
        ++gathered.interactive;
    }
    for (auto frame = m_Bulk.begin(); frame != m_Bulk.end() && gathered.parts < max; ++frame) add(*frame, 0);
    return gathered;
}

bool OutboundQueue::take(std::deque<Frame>& frames, Lane lane, std::size_t& count) {
    const std::size_t size = frames.front()->size();
    if (count < size) {
        // Begun but not finished: it goes before anything else from now on.
        m_Current = std::move(frames.front());
        m_CurrentLane = lane;
        m_Offset = count;
        frames.pop_front();
        laneBytes(lane) -= count;
        count = 0;
        return false;
    }
    laneBytes(lane) -= size;
    count -= size;
    frames.pop_front();
    return true;
}

// Consumed in the order gathered: the frame begun, the ordinary frames that
// were offered (others may have joined their lane since), then bulk.
std::size_t OutboundQueue::consume(const Gathered& gathered, std::size_t count) {
    std::size_t completed = 0;
    if (m_Current && count > 0) {
        const std::size_t left = m_Current->size() - m_Offset;
        const std::size_t taken = std::min(count, left);
        laneBytes(m_CurrentLane) -= taken;
        count -= taken;
        m_Offset += taken;
        if (taken < left) return 0;
        m_Current.reset();
        m_Offset = 0;
        ++completed;
    }
    for (std::size_t i = 0; i < gathered.interactive && count > 0 && !m_Current; ++i) {
        completed += take(m_Interactive, Lane::Interactive, count) ? 1 : 0;
    }
    while (count > 0 && !m_Current && !m_Bulk.empty()) completed += take(m_Bulk, Lane::Bulk, count) ? 1 : 0;
    return completed;
}

void OutboundQueue::clear() {
    m_Current.reset();
    m_Offset = 0;
    m_Interactive.clear();
    m_Bulk.clear();
    m_InteractiveBytes = 0;
    m_BulkBytes = 0;
}

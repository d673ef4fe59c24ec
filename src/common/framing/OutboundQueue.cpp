#include "OutboundQueue.h"

#include "FrameWriter.h"

#include <algorithm>

OutboundQueue::Frame OutboundQueue::frame(const char* payload, std::size_t length) {
    return std::make_shared<const std::string>(FrameWriter::frame({payload, length}));
}

OutboundQueue::Push OutboundQueue::push(Frame frame) {
    if (!frame || frame->empty()) return Push::Queued;
    if (frame->size() > m_Limit - std::min(m_Bytes, m_Limit)) return Push::Overflow;
    const bool first = m_Frames.empty();
    m_Bytes += frame->size();
    m_Frames.push_back(std::move(frame));
    return first ? Push::First : Push::Queued;
}

std::size_t OutboundQueue::gather(iovec* out, std::size_t max) const {
    std::size_t count = 0;
    for (auto frame = m_Frames.begin(); frame != m_Frames.end() && count < max; ++frame, ++count) {
        const std::size_t skip = frame == m_Frames.begin() ? m_Offset : 0;
        out[count] = {const_cast<char*>((*frame)->data()) + skip, (*frame)->size() - skip};
    }
    return count;
}

std::size_t OutboundQueue::consume(std::size_t count) {
    m_Bytes -= std::min(count, m_Bytes);
    std::size_t completed = 0;
    while (count > 0 && !m_Frames.empty()) {
        const std::size_t left = m_Frames.front()->size() - m_Offset;
        if (count < left) {
            m_Offset += count;
            break;
        }
        count -= left;
        m_Offset = 0;
        m_Frames.pop_front();
        ++completed;
    }
    return completed;
}

void OutboundQueue::clear() {
    m_Frames.clear();
    m_Offset = 0;
    m_Bytes = 0;
}

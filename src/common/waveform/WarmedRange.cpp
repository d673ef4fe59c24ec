#include "WarmedRange.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::int64_t kScratchFrames = std::int64_t{1} << 14;

}  // namespace

WarmedRange::WarmedRange(SeriesSink& analysis, std::int64_t from, std::int64_t begin, std::int64_t next)
    : m_Analysis(analysis),
      m_Position(from),
      m_Begin(begin),
      m_HeadFrom(std::max(from, begin - kCheckFrames)),
      m_TailFrom(next < 0 ? 0 : next - kCheckFrames),
      m_TailTo(next < 0 ? 0 : next),
      m_Head(static_cast<std::size_t>(begin - m_HeadFrom)),
      m_Tail(static_cast<std::size_t>(m_TailTo - m_TailFrom)) {
    if (from < begin) m_Scratch.resize(static_cast<std::size_t>(std::min(begin - from, kScratchFrames)));
}

// The warm-up goes to the scratch, never past the range's first frame, so
// that no room mixes frames of both.
std::span<float> WarmedRange::room(std::int64_t wanted) {
    m_Warming = m_Position < m_Begin;
    if (m_Warming) {
        const std::int64_t count = std::min({wanted, m_Begin - m_Position, static_cast<std::int64_t>(m_Scratch.size())});
        m_Room = {m_Scratch.data(), static_cast<std::size_t>(std::max<std::int64_t>(count, 0))};
    } else {
        m_Room = m_Analysis.room(wanted);
    }
    return m_Room;
}

void WarmedRange::take(std::int64_t count, bool onlyNumbers) {
    const std::span<const float> samples = m_Room.first(static_cast<std::size_t>(count));
    keep(samples, m_HeadFrom, m_Begin, m_Head);
    keep(samples, m_TailFrom, m_TailTo, m_Tail);
    if (!m_Warming) m_Analysis.take(count, onlyNumbers);
    m_Position += count;
}

// Copies those of `samples` (which begin at m_Position) that lie in [from, to)
// into `into`, which holds that span.
void WarmedRange::keep(std::span<const float> samples, std::int64_t from, std::int64_t to,
                       std::vector<float>& into) const {
    const std::int64_t first = std::max(from, m_Position);
    const std::int64_t last = std::min(to, m_Position + static_cast<std::int64_t>(samples.size()));
    if (first >= last) return;
    std::memcpy(into.data() + (first - from), samples.data() + (first - m_Position),
                static_cast<std::size_t>(last - first) * sizeof(float));
}

bool WarmedRange::continues(const WarmedRange& previous) const {
    return m_Head.size() == previous.m_Tail.size() && m_HeadFrom == previous.m_TailFrom &&
           std::memcmp(m_Head.data(), previous.m_Tail.data(), m_Head.size() * sizeof(float)) == 0;
}

#pragma once

#include "SeriesSink.h"

#include <cstdint>
#include <span>
#include <vector>

// One range of a file decoded in parallel by a reader that starts cold (a
// lossy decoder after a seek): the frames it decodes before the range are
// its warm-up and are dropped, all but the last few, its `head`, which are
// kept aside; the range's own frames go to `analysis`. The same number of
// frames where the next range begins are kept as this range's `tail`.
// A range is trusted only when its head is bit for bit the tail of the range
// before: then both decoders were in the same state where they met, and the
// ranges together deliver what one continuous decoding would.
class WarmedRange final : public SeriesSink {
public:
    // Frames compared where two ranges meet.
    static constexpr std::int64_t kCheckFrames = 4096;

    // The reader delivers from frame `from` on; the analysis wants frames
    // from `begin` on; the next range begins at `next` (none: negative).
    WarmedRange(SeriesSink& analysis, std::int64_t from, std::int64_t begin, std::int64_t next);

    std::span<float> room(std::int64_t wanted) override;
    void take(std::int64_t count, bool onlyNumbers) override;

    // Whether this range's head is the tail of `previous`, bit for bit.
    bool continues(const WarmedRange& previous) const;

private:
    void keep(std::span<const float> samples, std::int64_t from, std::int64_t to, std::vector<float>& into) const;

    SeriesSink& m_Analysis;
    std::int64_t m_Position;  // of the next frame delivered
    const std::int64_t m_Begin;
    const std::int64_t m_HeadFrom;
    const std::int64_t m_TailFrom;
    const std::int64_t m_TailTo;
    std::vector<float> m_Scratch;  // room for the warm-up
    std::span<float> m_Room;       // the last room handed out
    bool m_Warming = false;        // it lies in the scratch
    std::vector<float> m_Head;
    std::vector<float> m_Tail;
};

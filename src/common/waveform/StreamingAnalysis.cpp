#include "StreamingAnalysis.h"

#include "SampleSeries.h"
#include "SpectralColour.h"

#include <algorithm>
#include <cstring>

namespace {

std::int64_t pairsOf(const waveform::Points& points) { return points.q > 1 ? points.q / 2 : 0; }

// The first index i >= 0 with i × step >= position.
std::int64_t firstAtOrAfter(std::int64_t position, std::int64_t step) {
    return position <= 0 ? 0 : (position + step - 1) / step;
}

}  // namespace

StreamingAnalysis::Share StreamingAnalysis::whole(std::int64_t length) {
    return {0, pairsOf(waveform::points_for(length)), 0, waveform::intensity_points(length)};
}

StreamingAnalysis::Share StreamingAnalysis::within(std::int64_t length, std::int64_t from, std::int64_t to) {
    const waveform::Points points = waveform::points_for(length);
    const Share all = whole(length);
    auto clamp = [](std::int64_t index, std::int64_t end) { return std::clamp<std::int64_t>(index, 0, end); };
    return {clamp(firstAtOrAfter(from, 2 * points.k), all.endPair),
            clamp(firstAtOrAfter(to, 2 * points.k), all.endPair), clamp(firstAtOrAfter(from, points.k), all.endPoint),
            clamp(firstAtOrAfter(to, points.k), all.endPoint)};
}

StreamingAnalysis::StreamingAnalysis(std::int64_t length, double sampleRate, const SpectralColour* colour,
                                     WaveformSeries& out, Share share, bool spread)
    : m_Length(length),
      m_Points(waveform::points_for(length)),
      m_SampleRate(sampleRate),
      m_Colour(colour),
      m_Out(out),
      m_Share(colour != nullptr ? share : Share{share.firstPair, share.endPair, 0, 0}),
      m_Spread(spread),
      m_NextPair(m_Share.firstPair),
      m_NextPoint(m_Share.firstPoint) {
    const std::int64_t window = 2 * m_Points.k;
    const bool pairs = m_Share.endPair > m_Share.firstPair;
    const bool points = m_Share.endPoint > m_Share.firstPoint;
    m_Begin =
        std::min(pairs ? window * m_Share.firstPair : m_Length, points ? m_Points.k * m_Share.firstPoint : m_Length);
    m_End = std::max(pairs ? window * m_Share.endPair : 0,
                     points ? m_Points.k * (m_Share.endPoint - 1) + waveform::kFrameSize : 0);
    m_Begin = std::min(m_Begin, m_End);
    m_Base = m_Begin;
    const std::int64_t block = spread ? kSpreadBlockFrames : kBlockFrames;
    m_Buffer.resize(static_cast<std::size_t>(block + std::max<std::int64_t>(window, waveform::kFrameSize)));
}

std::span<float> StreamingAnalysis::room(std::int64_t wanted) {
    const auto free = static_cast<std::int64_t>(m_Buffer.size()) - m_Filled;
    return {m_Buffer.data() + m_Filled, static_cast<std::size_t>(std::clamp<std::int64_t>(wanted, 0, free))};
}

void StreamingAnalysis::take(std::int64_t count, bool onlyNumbers) {
    count = std::clamp<std::int64_t>(count, 0, static_cast<std::int64_t>(m_Buffer.size()) - m_Filled);
    if (!onlyNumbers) SampleSeries::silenceNonNumbers(m_Buffer.data() + m_Filled, count);
    m_Filled += count;
    computeReady();
    dropWhatIsDone();
}

void StreamingAnalysis::padWithSilence() {
    while (m_Base + m_Filled < m_End) {
        const std::span<float> silence = room(m_End - (m_Base + m_Filled));
        std::fill(silence.begin(), silence.end(), 0.0f);
        take(static_cast<std::int64_t>(silence.size()), true);
    }
}

void StreamingAnalysis::computeReady() {
    const std::int64_t have = m_Base + m_Filled;
    const std::int64_t window = 2 * m_Points.k;
    const float* held = m_Buffer.data();
    for (; m_NextPair < m_Share.endPair && window * (m_NextPair + 1) <= have; ++m_NextPair) {
        waveform::pair_of(held + (window * m_NextPair - m_Base), window,
                          &m_Out.waveform[static_cast<std::size_t>(2 * m_NextPair)]);
    }
    if (m_NextPoint >= m_Share.endPoint || have < waveform::kFrameSize) return;
    const std::int64_t ready =
        std::max(m_NextPoint, std::min(m_Share.endPoint, (have - waveform::kFrameSize) / m_Points.k + 1));
    const std::int64_t first = m_NextPoint;
    auto compute = [&](std::int64_t from, std::int64_t to) {
        m_Colour->intensities(held + ((first + from) * m_Points.k - m_Base), m_Points.k, to - from, m_SampleRate,
                              &m_Out.intensity[static_cast<std::size_t>(first + from)]);
    };
    if (m_Spread) {
        waveform::in_parallel(ready - first, compute);
    } else {
        compute(0, ready - first);
    }
    m_NextPoint = ready;
}

// Keeps only the samples from the start of the first window or frame that
// is not complete yet.
void StreamingAnalysis::dropWhatIsDone() {
    const std::int64_t have = m_Base + m_Filled;
    std::int64_t keep = have;
    if (m_NextPair < m_Share.endPair) keep = std::min(keep, 2 * m_Points.k * m_NextPair);
    if (m_NextPoint < m_Share.endPoint) keep = std::min(keep, m_Points.k * m_NextPoint);
    keep = std::max(keep, m_Base);
    const std::int64_t dropped = keep - m_Base;
    if (dropped == 0) return;
    std::memmove(m_Buffer.data(), m_Buffer.data() + dropped,
                 static_cast<std::size_t>(m_Filled - dropped) * sizeof(float));
    m_Base = keep;
    m_Filled -= dropped;
}

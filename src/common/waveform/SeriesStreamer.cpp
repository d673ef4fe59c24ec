#include "SeriesStreamer.h"

#include "RegularFile.h"
#include "SeriesSink.h"
#include "StreamingAnalysis.h"
#include "WarmedRange.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <thread>
#include <vector>

// Every series a load may take can be streamed: its pair windows fit the
// analysis's buffer.
static_assert(2 * ((waveform::kMaxSeriesFrames + waveform::kMaxPoints - 1) / waveform::kMaxPoints) <=
              StreamingAnalysis::kMaxWindow);

namespace {

// Samples that are only counted.
class Counter final : public SeriesSink {
public:
    std::span<float> room(std::int64_t wanted) override {
        return {m_Scratch.data(), static_cast<std::size_t>(std::clamp<std::int64_t>(wanted, 0, SampleSeries::kBlockFrames))};
    }
    void take(std::int64_t, bool) override {}

private:
    std::vector<float> m_Scratch = std::vector<float>(static_cast<std::size_t>(SampleSeries::kBlockFrames));
};

bool reopen(AudioReader& reader, const RegularFile& file, const Interrupt& interrupted) {
    reader.close();
    Refusal refusal;
    return reader.open(file, interrupted, refusal);
}

}  // namespace

SeriesStreamer::SeriesStreamer(const SpectralColour* colour, Interrupt interrupted)
    : m_Colour(colour), m_Interrupted(std::move(interrupted)) {}

// A decoding that fails part-way is reported as the whole load would report
// it: the plans that keep the frames delivered before the failure take the
// series up to there.
SeriesStreamer::Result SeriesStreamer::stream(const LoadPlan& plan, const RegularFile& file) {
    Result result;
    AudioReader& reader = *plan.reader;
    std::int64_t length = plan.frames;
    bool failed = false;
    if (length == AudioReader::kUnknownLength) {
        const std::int64_t most =
            plan.limit > 0 ? std::min(plan.limit, waveform::kMaxSeriesFrames) : waveform::kMaxSeriesFrames + 1;
        std::int64_t counted = 0;
        result.outcome = count(reader, most, counted);
        failed = result.outcome == SampleSeries::Outcome::Failed;
        if (result.outcome != SampleSeries::Outcome::Complete && !failed) return result;
        if (!reopen(reader, file, m_Interrupted)) return {};
        length = plan.framesOfCount(counted);
    }
    if (length > waveform::kMaxSeriesFrames) return {.outcome = SampleSeries::Outcome::TooLong};
    std::int64_t delivered = 0;
    if (!streamOnce(reader, file, length, plan.sampleRate, result, delivered)) {
        // Read again to what it delivered: a decoding that failed stays failed.
        failed = failed || result.outcome == SampleSeries::Outcome::Failed;
        if (!reopen(reader, file, m_Interrupted)) return {};
        length = delivered;
        streamOnce(reader, file, length, plan.sampleRate, result, delivered);
    }
    if (failed && result.outcome == SampleSeries::Outcome::Complete) result.outcome = SampleSeries::Outcome::Failed;
    result.series.count = length;
    result.series.duration = waveform::duration(length, plan.sampleRate);
    return result;
}

SampleSeries::Outcome SeriesStreamer::count(AudioReader& reader, std::int64_t limit, std::int64_t& frames) const {
    try {
        Counter counter;
        switch (drain(reader, counter, limit, m_Interrupted, frames)) {
            case Drained::Failed: return SampleSeries::Outcome::Failed;
            case Drained::Stopped: return SampleSeries::Outcome::Interrupted;
            default: break;
        }
    } catch (const std::bad_alloc&) {
        return SampleSeries::Outcome::OutOfMemory;
    }
    return frames > waveform::kMaxSeriesFrames ? SampleSeries::Outcome::TooLong : SampleSeries::Outcome::Complete;
}

bool SeriesStreamer::streamOnce(AudioReader& reader, const RegularFile& file, std::int64_t length,
                                double sampleRate, Result& result, std::int64_t& delivered) const {
    WaveformSeries& out = result.series;
    const std::size_t floats = waveform::blob_floats(waveform::points_for(length).q);
    delivered = length;
    result.outcome = SampleSeries::Outcome::Complete;
    try {
        out.waveform.assign(floats, 0.0f);
        out.intensity.assign(floats, 0.0f);
        if (inRanges(reader, file, length, sampleRate, result)) return true;
        result.ranges = 1;
        out.waveform.assign(floats, 0.0f);
        out.intensity.assign(floats, 0.0f);
        StreamingAnalysis analysis(length, sampleRate, m_Colour, out, StreamingAnalysis::whole(length), true);
        switch (drain(reader, analysis, length - analysis.begin(), m_Interrupted, delivered)) {
            case Drained::Stopped: result.outcome = SampleSeries::Outcome::Interrupted; return true;
            case Drained::NoRoom: result.outcome = SampleSeries::Outcome::OutOfMemory; return true;
            case Drained::Failed: result.outcome = SampleSeries::Outcome::Failed; break;
            default: break;
        }
        delivered += analysis.begin();
        if (length - delivered > SampleSeries::kMaxPaddingFrames) return false;
        analysis.padWithSilence();
    } catch (const std::bad_alloc&) {
        result.outcome = SampleSeries::Outcome::OutOfMemory;
    }
    return true;
}

// Each range is decoded by a reader of its own and feeds the pairs and
// points whose windows begin in it. Only a complete delivery counts: when a
// range cannot be read to its end, nothing of this attempt is kept and
// `reader`, untouched, reads the file in one go. A reader that starts cold
// begins each range early, and the ranges count only when each one's warm-up
// ends exactly where the range before it was; a reader whose seeks are
// checked begins each range a few frames early for the same comparison.
bool SeriesStreamer::inRanges(AudioReader& reader, const RegularFile& file, std::int64_t length, double sampleRate,
                              Result& result) const {
    const auto cores = static_cast<std::int64_t>(std::max(1u, std::thread::hardware_concurrency()));
    const std::int64_t parts = std::min(cores, length / kFramesPerRange);
    if (parts < 2) return false;
    const std::int64_t warmUp = reader.warmUpFrames();
    struct Range {
        std::unique_ptr<StreamingAnalysis> analysis;
        std::unique_ptr<WarmedRange> warmed;  // only after a cold start
        std::unique_ptr<AudioReader> reader;
        std::int64_t count = 0;
        Drained drained = Drained::Failed;
        SeriesSink& sink() const { return warmed ? static_cast<SeriesSink&>(*warmed) : *analysis; }
    };
    std::vector<Range> ranges(static_cast<std::size_t>(parts));
    for (std::int64_t p = 0; p < parts; ++p) {
        Range& range = ranges[static_cast<std::size_t>(p)];
        const auto share = StreamingAnalysis::within(length, length * p / parts, length * (p + 1) / parts);
        range.analysis = std::make_unique<StreamingAnalysis>(length, sampleRate, m_Colour, result.series, share, false);
        // The last range reads to the declared end, so that a file shorter
        // than it says is noticed.
        range.count = (p + 1 == parts ? length : range.analysis->end()) - range.analysis->begin();
    }
    for (std::size_t p = 0; p < ranges.size(); ++p) {
        Range& range = ranges[p];
        const std::int64_t begin = range.analysis->begin();
        std::int64_t from = begin;
        if (reader.checksSeams()) {
            from = std::max<std::int64_t>(0, begin - warmUp - WarmedRange::kCheckFrames);
            const std::int64_t next = p + 1 < ranges.size() ? ranges[p + 1].analysis->begin() : -1;
            range.warmed = std::make_unique<WarmedRange>(*range.analysis, from, begin, next);
            range.count += begin - from;
        }
        range.reader = reader.readerAt(file, from);
        if (!range.reader) return false;
    }
    std::atomic<bool> stop{false};
    const Interrupt stopped = [&] { return stop.load(std::memory_order_relaxed) || interrupted(); };
    waveform::in_parallel(parts, [&](std::int64_t first, std::int64_t last) {
        for (std::int64_t p = first; p < last; ++p) {
            Range& range = ranges[static_cast<std::size_t>(p)];
            std::int64_t delivered = 0;
            range.drained = drain(*range.reader, range.sink(), range.count, stopped, delivered);
            if (range.drained != Drained::Done) stop = true;
        }
    });
    if (interrupted()) {
        result.outcome = SampleSeries::Outcome::Interrupted;
        return true;
    }
    for (std::size_t p = 0; p < ranges.size(); ++p) {
        const Range& range = ranges[p];
        if (range.drained != Drained::Done) return false;
        if (p > 0 && range.warmed && !range.warmed->continues(*ranges[p - 1].warmed)) return false;
    }
    result.ranges = static_cast<int>(parts);
    return true;
}

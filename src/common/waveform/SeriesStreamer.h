#pragma once

#include "AudioReader.h"
#include "DecoderChoice.h"
#include "SampleSeries.h"
#include "WaveformSeries.h"

#include <cstdint>

class SpectralColour;
class RegularFile;

// Both series of the frames a load plan takes, computed block by block as
// the plan's reader decodes them, without ever holding the whole mono
// series; the numbers are those of the series loaded whole. A length the
// file does not tell is counted first, in a pass that keeps no sample; a
// file that delivers far less than it declares is read again to the length
// it delivered. Seekable files are decoded in ranges on every core.
class SeriesStreamer {
public:
    // Fewest frames worth a range of their own.
    static constexpr std::int64_t kFramesPerRange = std::int64_t{1} << 20;

    struct Result {
        SampleSeries::Outcome outcome = SampleSeries::Outcome::Failed;
        WaveformSeries series;  // count and duration included
        int ranges = 0;         // decoded at the same time (1: in one go)
    };

    // `colour` may be null (no intensity point is then computed);
    // `interrupted` may be empty.
    SeriesStreamer(const SpectralColour* colour, Interrupt interrupted);

    Result stream(const LoadPlan& plan, const RegularFile& file);

private:
    // The frames the reader delivers, up to `limit`, keeping none.
    SampleSeries::Outcome count(AudioReader& reader, std::int64_t limit, std::int64_t& frames) const;
    // Streams `length` frames into `result`; false when the reader delivered
    // so much less (`delivered`) that the series must end where it did.
    bool streamOnce(AudioReader& reader, const RegularFile& file, std::int64_t length, double sampleRate,
                    Result& result, std::int64_t& delivered) const;
    // The same in ranges decoded at the same time; false when the reader
    // cannot read from any frame, or a range was not delivered whole.
    bool inRanges(AudioReader& reader, const RegularFile& file, std::int64_t length, double sampleRate,
                  Result& result) const;
    bool interrupted() const { return m_Interrupted && m_Interrupted(); }

    const SpectralColour* const m_Colour;
    const Interrupt m_Interrupted;
};

#pragma once

#include "AudioFile.h"
#include "AudioReader.h"

#include <optional>
#include <vector>

// The own WAV/AIFF decoder as a reader: open checks the header alone, and the
// samples are decoded as they are read, a block at a time, straight from the
// file. The mono series is the first channel, or the mean of the two channels
// of a stereo file (a mono file keeps its full amplitude).
class WavAiffReader final : public AudioReader {
public:
    bool open(const RegularFile& file, const Interrupt& interrupted, Refusal& refusal) override;
    double sampleRate() const override { return m_SampleRate; }
    std::int64_t declaredFrames() const override { return m_Layout ? m_Layout->frames : 0; }
    std::int64_t read(float* into, std::int64_t count) override;
    void close() override;
    bool deliversOnlyNumbers() const override { return true; }

private:
    const RegularFile* m_File = nullptr;
    std::optional<AudioFile::SampleLayout> m_Layout;
    double m_SampleRate = 0;
    std::int64_t m_Position = 0;
    std::vector<std::uint8_t> m_Block;
};

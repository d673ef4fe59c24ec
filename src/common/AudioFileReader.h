#pragma once

#include "AudioFile.h"
#include "AudioReader.h"

// The own WAV/AIFF decoder as a reader: the whole file is decoded on open
// (a file it decodes may hold no frames); the mono series is the first
// channel, or the mean of the two channels of a stereo file (a mono file
// keeps its full amplitude).
class AudioFileReader final : public AudioReader {
public:
    const char* name() const override { return "decoder"; }
    bool open(const RegularFile& file, const Interrupt& interrupted, Refusal& refusal) override;
    double sampleRate() const override { return m_SampleRate; }
    std::int64_t declaredFrames() const override;
    std::int64_t read(float* into, std::int64_t count) override;
    void close() override;

private:
    AudioFile m_File;
    double m_SampleRate = 0;
    std::int64_t m_Position = 0;
};

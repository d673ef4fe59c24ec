#include "AudioFileReader.h"

#include <algorithm>

bool AudioFileReader::open(const RegularFile& file, const Interrupt&, Refusal& refusal) {
    close();
    const bool loaded = m_File.load(file);
    m_SampleRate = m_File.getSampleRate();
    if (!loaded) {
        refusal.reason = "not a WAV or AIFF file it can decode";
        refusal.unsupportedFormat = m_File.unsupportedFormatId;
    }
    return loaded;
}

std::int64_t AudioFileReader::declaredFrames() const {
    return m_File.channelSamples.empty() ? 0 : static_cast<std::int64_t>(m_File.channelSamples[0].size());
}

std::int64_t AudioFileReader::read(float* into, std::int64_t count) {
    const std::int64_t take = std::clamp<std::int64_t>(declaredFrames() - m_Position, 0, count);
    if (take == 0) return 0;
    const auto from = static_cast<std::size_t>(m_Position);
    const float* first = m_File.channelSamples[0].data() + from;
    if (m_File.getNumChannels() == 2) {
        const float* second = m_File.channelSamples[1].data() + from;
        for (std::int64_t i = 0; i < take; ++i) into[i] = (first[i] + second[i]) * 0.5f;
    } else {
        std::copy_n(first, take, into);
    }
    m_Position += take;
    return take;
}

void AudioFileReader::close() {
    m_File = AudioFile();
    m_File.channelSamples = {};
    m_SampleRate = 0;
    m_Position = 0;
}

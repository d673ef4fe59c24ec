#include "WavAiffReader.h"

#include "RegularFile.h"

#include <algorithm>
#include <exception>

namespace {

// Frames decoded at a time.
constexpr std::int64_t kBlockFrames = 65536;

}  // namespace

bool WavAiffReader::open(const RegularFile& file, const Interrupt&, Refusal& refusal) {
    close();
    AudioFile header;
    m_Layout = header.inspect(file);
    m_SampleRate = header.getSampleRate();
    if (!m_Layout) {
        refusal.reason = "not a WAV or AIFF file it can decode";
        refusal.unsupportedFormat = header.unsupportedFormatId;
        return false;
    }
    m_File = &file;
    return true;
}

std::int64_t WavAiffReader::read(float* into, std::int64_t count) {
    if (!m_Layout) return 0;
    const std::int64_t take = std::min({count, kBlockFrames, declaredFrames() - m_Position});
    if (take <= 0) return 0;
    const auto frameBytes = static_cast<std::size_t>(m_Layout->frameBytes());
    try {
        m_Block.resize(static_cast<std::size_t>(take) * frameBytes);
    } catch (const std::exception&) {
        return -1;
    }
    const auto offset = static_cast<std::int64_t>(m_Layout->start + static_cast<std::size_t>(m_Position) * frameBytes);
    if (m_File->readAt(m_Block.data(), m_Block.size(), offset) != static_cast<long long>(m_Block.size())) return -1;
    const std::uint8_t* frame = m_Block.data();
    const auto step = static_cast<std::size_t>(m_Layout->bytesPerSample);
    for (std::int64_t i = 0; i < take; ++i, frame += frameBytes) {
        const float first = AudioFile::sampleAt(frame, *m_Layout);
        into[i] = m_Layout->channels == 2 ? (first + AudioFile::sampleAt(frame + step, *m_Layout)) * 0.5f : first;
    }
    m_Position += take;
    return take;
}

void WavAiffReader::close() {
    m_File = nullptr;
    m_Layout.reset();
    m_SampleRate = 0;
    m_Position = 0;
    m_Block = {};
}

#include "SndfileReader.h"

#include "RegularFile.h"
#include "VectorLanes.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>

namespace {

// Interleaved samples decoded at a time, whatever the channel count.
constexpr std::int64_t kBlockSamples = std::int64_t{1} << 17;

}  // namespace

bool SndfileReader::open(const RegularFile& file, const Interrupt&, Refusal& refusal) {
    close();
    // libsndfile reads through us from the descriptor that was checked to be
    // a regular file; it never opens (or closes) anything itself.
    static SF_VIRTUAL_IO io{.get_filelen = length, .seek = seek, .read = readBytes, .write = nullptr, .tell = tell};
    m_Source = &file;
    m_Offset = 0;
    SF_INFO info{};
    m_File.reset(sf_open_virtual(&io, SFM_READ, &info, this));
    if (!m_File || info.channels <= 0) {
        refusal.reason = sf_strerror(nullptr);
        m_File.reset();
        return false;
    }
    m_Info = info;
    try {
        m_Flac = FlacStream::open(file, info);
        m_Block.resize(static_cast<std::size_t>(std::max<std::int64_t>(kBlockSamples, info.channels)));
        if ((info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16) m_Shorts.resize(m_Block.size());
    } catch (const std::exception&) {
        refusal.reason = "not enough memory";
        close();
        return false;
    }
    return true;
}

// libsndfile gives the largest count it can hold when the header leaves the
// length open (a FLAC written while streaming, for instance).
std::int64_t SndfileReader::declaredFrames() const {
    return m_Info.frames >= 0 && m_Info.frames < SF_COUNT_MAX ? m_Info.frames : kUnknownLength;
}

sf_count_t SndfileReader::length(void* self) { return static_cast<SndfileReader*>(self)->m_Source->identity().size; }

sf_count_t SndfileReader::seek(sf_count_t offset, int whence, void* self) {
    auto* reader = static_cast<SndfileReader*>(self);
    const sf_count_t base = whence == SEEK_CUR ? reader->m_Offset : whence == SEEK_END ? length(self) : 0;
    if (base + offset < 0) return -1;
    reader->m_Offset = base + offset;
    return reader->m_Offset;
}

sf_count_t SndfileReader::readBytes(void* into, sf_count_t count, void* self) {
    auto* reader = static_cast<SndfileReader*>(self);
    const long long got = reader->m_Source->readAt(into, static_cast<std::size_t>(std::max<sf_count_t>(count, 0)),
                                                   reader->m_Offset);
    if (got <= 0) return 0;
    reader->m_Offset += got;
    return got;
}

sf_count_t SndfileReader::tell(void* self) { return static_cast<SndfileReader*>(self)->m_Offset; }

namespace {

using Floats = lanes::Floats;
using Words = lanes::Ints;
using UnsignedWords = lanes::Bits;

constexpr float kShortScale = 1.0f / 32768.0f;

// Four stereo frames (eight samples) at a time: the same additions, in the
// same order, per lane as the scalar loop below. Each frame is read as one
// 32-bit word, left sample in the low half (little-endian memory).
std::int64_t mixStereoLanes(const short* frames, std::int64_t count, float* into) {
    static_assert(std::endian::native == std::endian::little);
    std::int64_t f = 0;
    for (; f + 4 <= count; f += 4) {
        Words words;
        std::memcpy(&words, frames + 2 * f, sizeof words);
        const Words left = reinterpret_cast<Words>(reinterpret_cast<UnsignedWords>(words) << 16) >> 16;
        const Words right = words >> 16;
        const Floats mixed = ((Floats{} + __builtin_convertvector(left, Floats) * kShortScale) +
                              __builtin_convertvector(right, Floats) * kShortScale) *
                             0.5f;
        std::memcpy(into + f, &mixed, sizeof mixed);
    }
    return f;
}

std::int64_t mixStereoLanes(const float* frames, std::int64_t count, float* into) {
    std::int64_t f = 0;
    for (; f + 4 <= count; f += 4) {
        Floats first;
        Floats second;
        std::memcpy(&first, frames + 2 * f, sizeof first);
        std::memcpy(&second, frames + 2 * f + 4, sizeof second);
        const Floats left = __builtin_shufflevector(first, second, 0, 2, 4, 6);
        const Floats right = __builtin_shufflevector(first, second, 1, 3, 5, 7);
        const Floats mixed = ((Floats{} + left) + right) * 0.5f;
        std::memcpy(into + f, &mixed, sizeof mixed);
    }
    return f;
}

// The mono series of interleaved frames: every channel added to 0 in turn,
// then halved. Mono and stereo, the usual cases, in loops of their own.
template <class Sample, class ToFloat>
void mixDown(const Sample* frames, std::int64_t count, std::int64_t channels, ToFloat toFloat, float* into) {
    if (channels == 1) {
        for (std::int64_t f = 0; f < count; ++f) into[f] = (0.0f + toFloat(frames[f])) * 0.5f;
    } else if (channels == 2) {
        for (std::int64_t f = mixStereoLanes(frames, count, into); f < count; ++f) {
            into[f] = ((0.0f + toFloat(frames[2 * f])) + toFloat(frames[2 * f + 1])) * 0.5f;
        }
    } else {
        for (std::int64_t f = 0; f < count; ++f) {
            const Sample* frame = frames + f * channels;
            float sum = 0.0f;
            for (std::int64_t c = 0; c < channels; ++c) sum += toFloat(frame[c]);
            into[f] = sum * 0.5f;
        }
    }
}

}  // namespace

std::int64_t SndfileReader::read(float* into, std::int64_t count) {
    if (!m_File) return 0;
    if (m_Flac) return m_Flac->read(into, count);
    const std::int64_t channels = m_Info.channels;
    const std::int64_t frames = std::min(count, static_cast<std::int64_t>(m_Block.size()) / channels);
    sf_count_t got = 0;
    if ((m_Info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16) {
        // 16-bit samples as they are stored, turned into floats here exactly
        // as libsndfile's float read turns them (sample × 1/32768), in the
        // same pass as the mixing.
        short* shorts = m_Shorts.data();
        got = sf_readf_short(m_File.get(), shorts, frames);
        mixDown(shorts, got, channels, [](short sample) { return static_cast<float>(sample) * kShortScale; }, into);
    } else {
        got = sf_readf_float(m_File.get(), m_Block.data(), frames);
        mixDown(m_Block.data(), got, channels, [](float sample) { return sample; }, into);
    }
    return std::max<sf_count_t>(got, 0);
}

// Integer samples, scaled, are always finite.
bool SndfileReader::deliversOnlyNumbers() const {
    const int subtype = m_Info.format & SF_FORMAT_SUBMASK;
    return subtype >= SF_FORMAT_PCM_S8 && subtype <= SF_FORMAT_PCM_U8;
}

namespace {

// Integer and float samples, FLAC's included (its subtypes are those of its
// sample width): a seek lands exactly and nothing decoded before it counts.
bool exact(int format) {
    const int subtype = format & SF_FORMAT_SUBMASK;
    return subtype >= SF_FORMAT_PCM_S8 && subtype <= SF_FORMAT_DOUBLE;
}

// MPEG audio: a decoder that starts after a seek has not yet the bit
// reservoir and overlap of the frames before; some frames later it has.
bool mpeg(int format) {
    const int subtype = format & SF_FORMAT_SUBMASK;
    return subtype == SF_FORMAT_MPEG_LAYER_I || subtype == SF_FORMAT_MPEG_LAYER_II ||
           subtype == SF_FORMAT_MPEG_LAYER_III;
}

// About fourteen MPEG frames.
constexpr std::int64_t kMpegWarmUpFrames = 16384;

}  // namespace

std::int64_t SndfileReader::warmUpFrames() const { return mpeg(m_Info.format) ? kMpegWarmUpFrames : 0; }

bool SndfileReader::checksSeams() const { return mpeg(m_Info.format) || m_Flac != nullptr; }

std::unique_ptr<AudioReader> SndfileReader::readerAt(const RegularFile& file, std::int64_t frame) const {
    const bool seekable = exact(m_Info.format) || mpeg(m_Info.format);
    if (!m_File || m_Info.seekable == 0 || !seekable || frame < 0 || frame > m_Info.frames) return nullptr;
    auto reader = std::make_unique<SndfileReader>();
    Refusal refusal;
    if (!reader->open(file, {}, refusal) || reader->m_Info.frames != m_Info.frames ||
        reader->m_Info.channels != m_Info.channels || reader->m_Info.format != m_Info.format ||
        (reader->m_Flac ? !reader->m_Flac->seek(frame) : sf_seek(reader->m_File.get(), frame, SEEK_SET) != frame)) {
        return nullptr;
    }
    return reader;
}

void SndfileReader::close() {
    m_Flac.reset();
    m_File.reset();
    m_Info = {};
    m_Source = nullptr;
}

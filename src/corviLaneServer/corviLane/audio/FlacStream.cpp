#include "FlacStream.h"

#include "RegularFile.h"

#include <algorithm>
#include <exception>

namespace {

constexpr float kShortScale = 1.0f / 32768.0f;

}  // namespace

FlacStream::FlacStream(const RegularFile& file, int channels) : m_File(file), m_Channels(channels) {}

FlacStream::~FlacStream() = default;

std::unique_ptr<FlacStream> FlacStream::open(const RegularFile& file, const SF_INFO& info) {
    if ((info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_FLAC || (info.format & SF_FORMAT_SUBMASK) != SF_FORMAT_PCM_16 ||
        info.channels <= 0) {
        return nullptr;
    }
    std::unique_ptr<FlacStream> stream(new FlacStream(file, info.channels));
    return stream->start(info) ? std::move(stream) : nullptr;
}

// The stream counts only when its STREAMINFO says what libsndfile said: the
// channels, the rate, 16-bit samples and the same length (or none).
bool FlacStream::start(const SF_INFO& info) {
    m_Decoder.reset(FLAC__stream_decoder_new());
    if (!m_Decoder || FLAC__stream_decoder_init_stream(m_Decoder.get(), readBytes, seekBytes, tell, length, atEnd,
                                                       frameDecoded, metadata, error,
                                                       this) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        return false;
    }
    if (!FLAC__stream_decoder_process_until_end_of_metadata(m_Decoder.get()) || !m_HasInfo || m_Failed) return false;
    const bool lengthKnown = m_Info.total_samples > 0;
    const auto frames = static_cast<std::int64_t>(m_Info.total_samples);
    return static_cast<int>(m_Info.channels) == info.channels && static_cast<int>(m_Info.sample_rate) == info.samplerate &&
           m_Info.bits_per_sample == 16 && (lengthKnown ? frames == info.frames : info.frames == SF_COUNT_MAX);
}

bool FlacStream::seek(std::int64_t frame) {
    m_Pending.clear();
    m_PendingAt = 0;
    m_Seeking = true;
    const bool sought = frame >= 0 && FLAC__stream_decoder_seek_absolute(m_Decoder.get(), static_cast<FLAC__uint64>(frame));
    m_Seeking = false;
    return sought && !m_Failed;
}

// A frame decoded when the damage was found is still delivered; nothing
// after it is.
std::int64_t FlacStream::read(float* into, std::int64_t count) {
    std::int64_t done = 0;
    while (done < count) {
        if (m_PendingAt < m_Pending.size()) {
            done += takePending(m_Pending, m_PendingAt, into + done, count - done);
        } else if (m_Failed || FLAC__stream_decoder_get_state(m_Decoder.get()) == FLAC__STREAM_DECODER_END_OF_STREAM) {
            break;
        } else if (!FLAC__stream_decoder_process_single(m_Decoder.get())) {
            m_Failed = true;
        }
    }
    return m_Failed && done == 0 ? -1 : done;
}

FLAC__StreamDecoderReadStatus FlacStream::readBytes(const FLAC__StreamDecoder*, FLAC__byte into[], size_t* bytes,
                                                    void* self) {
    auto* stream = static_cast<FlacStream*>(self);
    const long long got = stream->m_File.readAt(into, *bytes, stream->m_Offset);
    if (got < 0) {
        *bytes = 0;
        return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
    }
    *bytes = static_cast<size_t>(got);
    stream->m_Offset += got;
    return got == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

FLAC__StreamDecoderSeekStatus FlacStream::seekBytes(const FLAC__StreamDecoder*, FLAC__uint64 offset, void* self) {
    auto* stream = static_cast<FlacStream*>(self);
    if (offset > static_cast<FLAC__uint64>(stream->m_File.identity().size)) return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
    stream->m_Offset = static_cast<std::int64_t>(offset);
    return FLAC__STREAM_DECODER_SEEK_STATUS_OK;
}

FLAC__StreamDecoderTellStatus FlacStream::tell(const FLAC__StreamDecoder*, FLAC__uint64* offset, void* self) {
    *offset = static_cast<FLAC__uint64>(static_cast<FlacStream*>(self)->m_Offset);
    return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

FLAC__StreamDecoderLengthStatus FlacStream::length(const FLAC__StreamDecoder*, FLAC__uint64* length, void* self) {
    *length = static_cast<FLAC__uint64>(static_cast<FlacStream*>(self)->m_File.identity().size);
    return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
}

FLAC__bool FlacStream::atEnd(const FLAC__StreamDecoder*, void* self) {
    const auto* stream = static_cast<const FlacStream*>(self);
    return stream->m_Offset >= stream->m_File.identity().size;
}

// A frame unlike the stream's (another channel count or sample width) ends
// the decoding as a failure: no sample of it is guessed at.
FLAC__StreamDecoderWriteStatus FlacStream::frameDecoded(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                                        const FLAC__int32* const channels[], void* self) {
    auto* stream = static_cast<FlacStream*>(self);
    const auto count = static_cast<std::size_t>(frame->header.blocksize);
    if (static_cast<int>(frame->header.channels) != stream->m_Channels || frame->header.bits_per_sample != 16) {
        stream->m_Failed = true;
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    try {
        stream->m_Pending.resize(count);
    } catch (const std::exception&) {
        stream->m_Failed = true;
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    float* into = stream->m_Pending.data();
    if (stream->m_Channels == 2) {
        const FLAC__int32* left = channels[0];
        const FLAC__int32* right = channels[1];
        for (std::size_t i = 0; i < count; ++i) {
            into[i] = ((0.0f + static_cast<float>(left[i]) * kShortScale) + static_cast<float>(right[i]) * kShortScale) * 0.5f;
        }
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            float sum = 0.0f;
            for (int c = 0; c < stream->m_Channels; ++c) sum += static_cast<float>(channels[c][i]) * kShortScale;
            into[i] = sum * 0.5f;
        }
    }
    stream->m_PendingAt = 0;
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void FlacStream::metadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* block, void* self) {
    auto* stream = static_cast<FlacStream*>(self);
    if (block->type != FLAC__METADATA_TYPE_STREAMINFO) return;
    stream->m_Info = block->data.stream_info;
    stream->m_HasInfo = true;
}

// Lost sync, a bad header or a frame whose checksum fails: the file is
// damaged there, and the decoding counts as failed from that point.
void FlacStream::error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* self) {
    auto* stream = static_cast<FlacStream*>(self);
    if (!stream->m_Seeking) stream->m_Failed = true;
}

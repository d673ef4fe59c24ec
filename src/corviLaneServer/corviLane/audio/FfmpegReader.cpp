#include "FfmpegReader.h"

#include "RegularFile.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <syslog.h>

#include <algorithm>
#include <cstring>
#include <exception>

namespace {

constexpr int kIoBufferSize = 1 << 16;
// The audio containers FFmpeg may open, by its demuxers' names: MP4/M4A
// (AAC, ALAC), ADTS AAC, MP3, WAV and Wave64, AIFF, CAF, FLAC and Ogg. Never
// a playlist, a concatenation list, an image sequence or anything else that
// names other files or streams: such "audio" could be refreshed for ever or
// refer to itself.
constexpr const char* kAudioContainers = "mov,aac,mp3,wav,w64,aiff,caf,flac,ogg";

std::string describe(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// The samples of channel 0 of a frame, `stride` values apart, scaled to
// -1 … +1 as FFmpeg's own conversion to float scales them.
template <class Sample>
void convert(const std::uint8_t* data, int count, int stride, float scale, float offset, float* into) {
    const auto* samples = reinterpret_cast<const Sample*>(data);
    for (int i = 0; i < count; ++i) {
        into[i] = (static_cast<float>(samples[static_cast<std::size_t>(i) * static_cast<std::size_t>(stride)]) - offset) * scale;
    }
}

}  // namespace

void FfmpegReader::Deleters::operator()(AVFormatContext* format) const { avformat_close_input(&format); }
void FfmpegReader::Deleters::operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
void FfmpegReader::Deleters::operator()(AVPacket* packet) const { av_packet_free(&packet); }
void FfmpegReader::Deleters::operator()(AVFrame* frame) const { av_frame_free(&frame); }
void FfmpegReader::Deleters::operator()(AVIOContext* io) const {
    av_freep(&io->buffer);
    avio_context_free(&io);
}

FfmpegReader::FfmpegReader() = default;

FfmpegReader::~FfmpegReader() { close(); }

int FfmpegReader::readBytes(void* self, std::uint8_t* into, int size) {
    auto* reader = static_cast<FfmpegReader*>(self);
    const long long got = reader->m_File->readAt(into, static_cast<std::size_t>(std::max(size, 0)), reader->m_Offset);
    if (got < 0) return AVERROR(EIO);
    if (got == 0) return AVERROR_EOF;
    reader->m_Offset += got;
    return static_cast<int>(got);
}

std::int64_t FfmpegReader::seekBytes(void* self, std::int64_t offset, int whence) {
    auto* reader = static_cast<FfmpegReader*>(self);
    const std::int64_t size = reader->m_File->identity().size;
    if (whence & AVSEEK_SIZE) return size;
    std::int64_t position = offset;
    switch (whence & ~AVSEEK_FORCE) {
        case SEEK_SET: break;
        case SEEK_CUR: position = reader->m_Offset + offset; break;
        case SEEK_END: position = size + offset; break;
        default: return AVERROR(EINVAL);
    }
    if (position < 0) return AVERROR(EINVAL);
    reader->m_Offset = position;
    return position;
}

int FfmpegReader::interruptRequested(void* self) {
    const auto* reader = static_cast<const FfmpegReader*>(self);
    return reader->m_Interrupted && reader->m_Interrupted() ? 1 : 0;
}

// Files a container refers to (segments of a playlist, for instance) are
// opened by FFmpeg itself, with the file protocol only; anything that is not
// a regular local file is refused before it could block.
int FfmpegReader::openNested(AVFormatContext* format, AVIOContext** io, const char* url, int flags,
                                    AVDictionary** options) {
    const auto* reader = static_cast<const FfmpegReader*>(format->opaque);
    std::string path = url != nullptr ? url : "";
    if (path.rfind("file:", 0) == 0) path.erase(0, 5);
    if ((flags & AVIO_FLAG_WRITE) != 0 || !RegularFile::identify(path)) return AVERROR(EPERM);
    return reader->m_DefaultOpen(format, io, url, flags, options);
}

bool FfmpegReader::open(const RegularFile& file, const Interrupt& interrupted, Refusal& refusal) {
    close();
    m_File = &file;
    m_Interrupted = interrupted;
    try {
        if (openStream(file, refusal.reason)) {
            syslog(LOG_DEBUG, "%s", formatDescription().c_str());
            return true;
        }
    } catch (const std::exception& error) {  // our own allocations around FFmpeg's
        refusal.reason = error.what();
    }
    close();
    return false;
}

bool FfmpegReader::openStream(const RegularFile& file, std::string& error) {
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
    if (buffer == nullptr) {
        error = "not enough memory";
        return false;
    }
    m_Io.reset(avio_alloc_context(buffer, kIoBufferSize, 0, this, readBytes, nullptr, seekBytes));
    if (!m_Io) {
        av_free(buffer);
        error = "not enough memory";
        return false;
    }
    AVFormatContext* format = avformat_alloc_context();
    if (format == nullptr) {
        error = "not enough memory";
        return false;
    }
    format->pb = m_Io.get();
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
    format->interrupt_callback = AVIOInterruptCB{interruptRequested, this};
    format->opaque = this;
    m_DefaultOpen = format->io_open;
    format->io_open = openNested;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    av_dict_set(&options, "format_whitelist", kAudioContainers, 0);
    // The name only helps FFmpeg guess the format; the bytes come from our I/O.
    const int opened = avformat_open_input(&format, file.path().c_str(), nullptr, &options);
    av_dict_free(&options);
    if (opened < 0) {  // FFmpeg has freed the context
        error = describe(opened);
        return false;
    }
    m_Format.reset(format);
    if (const int found = avformat_find_stream_info(format, nullptr); found < 0) {
        error = describe(found);
        return false;
    }
    const AVCodec* decoder = nullptr;
    m_Stream = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (m_Stream < 0 || decoder == nullptr) {
        error = "no audio stream";
        return false;
    }
    const AVStream* stream = format->streams[m_Stream];
    m_Codec.reset(avcodec_alloc_context3(decoder));
    m_Packet.reset(av_packet_alloc());
    m_Frame.reset(av_frame_alloc());
    if (!m_Codec || !m_Packet || !m_Frame || avcodec_parameters_to_context(m_Codec.get(), stream->codecpar) < 0) {
        error = "cannot open the audio decoder";
        return false;
    }
    m_Codec->pkt_timebase = stream->time_base;  // the decoded frames' timestamps are the stream's
    if (avcodec_open2(m_Codec.get(), decoder, nullptr) < 0) {
        error = "cannot open the audio decoder";
        return false;
    }
    // A length estimated from the bit rate is a guess, not a length.
    const int rate = stream->codecpar->sample_rate;
    if (format->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE && rate > 0) {
        if (stream->duration != AV_NOPTS_VALUE && stream->duration >= 0) {
            m_Frames = av_rescale_q(stream->duration, stream->time_base, AVRational{1, rate});
        } else if (format->duration != AV_NOPTS_VALUE && format->duration >= 0) {
            m_Frames = av_rescale(format->duration, rate, AV_TIME_BASE);
        }
    }
    return true;
}

double FfmpegReader::sampleRate() const { return m_Codec ? m_Codec->sample_rate : 0.0; }

std::string FfmpegReader::formatDescription() const {
    if (!m_Codec) return {};
    char layout[128] = {};
    av_channel_layout_describe(&m_Codec->ch_layout, layout, sizeof layout);
    return std::string(m_Codec->codec->name) + ", " + std::to_string(m_Codec->sample_rate) + " Hz, " + layout;
}

void FfmpegReader::fail(int code) {
    syslog(LOG_ERR, "%s", describe(code).c_str());
    m_Failed = true;
}

// Channel 0 of a frame, by the frame's own format and channel count: plane 0
// of a planar format, every n-th sample of an interleaved one.
void FfmpegReader::takeFirstChannel(const AVFrame& frame) {
    m_Pending.clear();
    m_PendingAt = 0;
    const int count = frame.nb_samples;
    const int channels = frame.ch_layout.nb_channels;
    if (count <= 0 || channels <= 0 || frame.extended_data == nullptr || frame.extended_data[0] == nullptr) return;
    const auto format = static_cast<AVSampleFormat>(frame.format);
    const int stride = av_sample_fmt_is_planar(format) ? 1 : channels;
    const std::uint8_t* data = frame.extended_data[0];
    m_Pending.resize(static_cast<std::size_t>(count));
    float* into = m_Pending.data();
    switch (av_get_packed_sample_fmt(format)) {
        case AV_SAMPLE_FMT_U8: convert<std::uint8_t>(data, count, stride, 1.0f / 128, 128.0f, into); break;
        case AV_SAMPLE_FMT_S16: convert<std::int16_t>(data, count, stride, 1.0f / 32768, 0.0f, into); break;
        case AV_SAMPLE_FMT_S32: convert<std::int32_t>(data, count, stride, 1.0f / 2147483648.0f, 0.0f, into); break;
        case AV_SAMPLE_FMT_S64:
            convert<std::int64_t>(data, count, stride, 1.0f / 9223372036854775808.0f, 0.0f, into);
            break;
        case AV_SAMPLE_FMT_FLT: convert<float>(data, count, stride, 1.0f, 0.0f, into); break;
        case AV_SAMPLE_FMT_DBL: convert<double>(data, count, stride, 1.0f, 0.0f, into); break;
        default: m_Pending.clear(); break;  // a format without samples we know
    }
}

// Decodes until a frame is at hand (true), or the stream ends or fails.
bool FfmpegReader::decodeMore() {
    while (true) {
        const int received = avcodec_receive_frame(m_Codec.get(), m_Frame.get());
        if (received == 0) {
            takeFirstChannel(*m_Frame);
            const std::int64_t stamp = m_Frame->best_effort_timestamp;
            const int rate = m_Codec->sample_rate;
            m_PendingStart = stamp == AV_NOPTS_VALUE || rate <= 0
                                 ? kUnknownLength
                                 : av_rescale_q(stamp, m_Format->streams[m_Stream]->time_base, AVRational{1, rate});
            av_frame_unref(m_Frame.get());
            return true;
        }
        if (received == AVERROR_EOF) {
            m_Ended = true;
            return false;
        }
        if (received != AVERROR(EAGAIN)) {
            fail(received);
            return false;
        }
        if (interruptRequested(this) != 0) {
            m_Failed = true;
            return false;
        }
        if (av_read_frame(m_Format.get(), m_Packet.get()) < 0) {
            if (m_Flushed) {
                m_Ended = true;
                return false;
            }
            avcodec_send_packet(m_Codec.get(), nullptr);  // the decoder gives what it still holds
            m_Flushed = true;
            continue;
        }
        if (m_Packet->stream_index == m_Stream) {
            const int sent = avcodec_send_packet(m_Codec.get(), m_Packet.get());
            av_packet_unref(m_Packet.get());
            if (sent < 0 && sent != AVERROR(EAGAIN)) {
                fail(sent);
                return false;
            }
        } else {
            av_packet_unref(m_Packet.get());
        }
    }
}

std::int64_t FfmpegReader::read(float* into, std::int64_t count) {
    if (!m_Codec) return 0;
    std::int64_t done = 0;
    try {
        while (done < count) {
            if (m_PendingAt < m_Pending.size()) {
                done += takePending(m_Pending, m_PendingAt, into + done, count - done);
            } else if (m_Ended || m_Failed || !decodeMore()) {
                break;
            }
        }
    } catch (const std::exception&) {  // a frame too large for memory
        m_Failed = true;
    }
    return m_Failed && done == 0 ? -1 : done;
}

std::unique_ptr<AudioReader> FfmpegReader::readerAt(const RegularFile& file, std::int64_t frame) const {
    if (!m_Codec || frame < 0 || (m_Frames != kUnknownLength && frame > m_Frames)) return nullptr;
    auto reader = std::make_unique<FfmpegReader>();
    Refusal refusal;
    if (!reader->open(file, {}, refusal) || reader->m_Codec->codec_id != m_Codec->codec_id) return nullptr;
    if (frame > 0 && !reader->startAt(frame)) return nullptr;
    return reader;
}

// Frames count from the timestamp of the first frame decoded (the stream's
// own start, after any priming the container says to skip). The seek lands
// on a packet at or before the frame; what is decoded before it is dropped.
bool FfmpegReader::startAt(std::int64_t frame) {
    try {
        if (!decodeMore() || m_PendingStart == kUnknownLength) return false;
        const std::int64_t target = m_PendingStart + frame;
        const AVStream* stream = m_Format->streams[m_Stream];
        const std::int64_t stamp = av_rescale_q(target, AVRational{1, m_Codec->sample_rate}, stream->time_base);
        if (av_seek_frame(m_Format.get(), m_Stream, stamp, AVSEEK_FLAG_BACKWARD) < 0) return false;
        avcodec_flush_buffers(m_Codec.get());
        m_Flushed = m_Ended = m_Failed = false;
        while (decodeMore() && m_PendingStart != kUnknownLength && m_PendingStart <= target) {
            const auto size = static_cast<std::int64_t>(m_Pending.size());
            if (m_PendingStart + size > target) {
                m_PendingAt = static_cast<std::size_t>(target - m_PendingStart);
                return true;
            }
        }
    } catch (const std::exception&) {  // a frame too large for memory
    }
    return false;
}

void FfmpegReader::close() {
    m_Codec.reset();
    m_Format.reset();
    m_Io.reset();
    m_Packet.reset();
    m_Frame.reset();
    m_Pending = {};
    m_PendingAt = 0;
    m_PendingStart = kUnknownLength;
    m_Stream = -1;
    m_Frames = kUnknownLength;
    m_Flushed = m_Ended = m_Failed = false;
    m_File = nullptr;
    m_Offset = 0;
    m_Interrupted = nullptr;
}

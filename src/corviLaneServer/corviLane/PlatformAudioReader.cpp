#include "PlatformAudioReader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libswresample/swresample.h>
}

#include <algorithm>

namespace {

std::string describe(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ResamplerDeleter {
    void operator()(SwrContext* resampler) const { swr_free(&resampler); }
};

}  // namespace

void PlatformAudioReader::Deleters::operator()(AVFormatContext* format) const { avformat_close_input(&format); }

void PlatformAudioReader::Deleters::operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }

PlatformAudioReader::PlatformAudioReader() = default;

PlatformAudioReader::~PlatformAudioReader() = default;

bool PlatformAudioReader::open(const std::string& path, std::string& error) {
    AVFormatContext* format = nullptr;
    if (const int result = avformat_open_input(&format, path.c_str(), nullptr, nullptr); result < 0) {
        error = describe(result);
        return false;
    }
    m_Format.reset(format);
    if (const int result = avformat_find_stream_info(format, nullptr); result < 0) {
        error = describe(result);
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
    if (!m_Codec || avcodec_parameters_to_context(m_Codec.get(), stream->codecpar) < 0 ||
        avcodec_open2(m_Codec.get(), decoder, nullptr) < 0) {
        error = "cannot open the audio decoder";
        return false;
    }
    const int rate = stream->codecpar->sample_rate;
    if (stream->duration != AV_NOPTS_VALUE && rate > 0) {
        m_Frames = av_rescale_q(stream->duration, stream->time_base, AVRational{1, rate});
    } else if (format->duration != AV_NOPTS_VALUE && rate > 0) {
        m_Frames = av_rescale(format->duration, rate, AV_TIME_BASE);
    }
    return true;
}

double PlatformAudioReader::sampleRate() const { return m_Codec ? m_Codec->sample_rate : 0.0; }

std::string PlatformAudioReader::formatDescription() const {
    if (!m_Codec) return {};
    char layout[128] = {};
    av_channel_layout_describe(&m_Codec->ch_layout, layout, sizeof layout);
    return std::string(m_Codec->codec->name) + ", " + std::to_string(m_Codec->sample_rate) + " Hz, " + layout;
}

bool PlatformAudioReader::readFirstChannel(std::int64_t count, std::vector<float>& samples, std::string& error) {
    samples.assign(static_cast<std::size_t>(std::max<std::int64_t>(count, 0)), 0.0f);
    if (!m_Codec || count <= 0) return true;

    // Every sample format is converted to planar float; plane 0 is the first channel.
    SwrContext* raw = nullptr;
    if (swr_alloc_set_opts2(&raw, &m_Codec->ch_layout, AV_SAMPLE_FMT_FLTP, m_Codec->sample_rate,
                            &m_Codec->ch_layout, m_Codec->sample_fmt, m_Codec->sample_rate, 0, nullptr) < 0 ||
        swr_init(raw) < 0) {
        swr_free(&raw);
        error = "cannot convert the decoded samples";
        return false;
    }
    std::unique_ptr<SwrContext, ResamplerDeleter> resampler(raw);
    std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    const int channels = std::max(1, m_Codec->ch_layout.nb_channels);
    std::vector<std::vector<float>> planes(static_cast<std::size_t>(channels));
    std::vector<std::uint8_t*> pointers(static_cast<std::size_t>(channels));
    std::int64_t filled = 0;

    auto drain = [&]() -> bool {
        while (filled < count) {
            const int received = avcodec_receive_frame(m_Codec.get(), frame.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return true;
            if (received < 0) {
                error = describe(received);
                return false;
            }
            for (int c = 0; c < channels; ++c) {
                planes[static_cast<std::size_t>(c)].resize(static_cast<std::size_t>(frame->nb_samples));
                pointers[static_cast<std::size_t>(c)] = reinterpret_cast<std::uint8_t*>(planes[static_cast<std::size_t>(c)].data());
            }
            const int converted = swr_convert(resampler.get(), pointers.data(), frame->nb_samples,
                                              const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples);
            av_frame_unref(frame.get());
            if (converted < 0) {
                error = describe(converted);
                return false;
            }
            const std::int64_t take = std::min<std::int64_t>(converted, count - filled);
            std::copy_n(planes[0].begin(), take, samples.begin() + filled);
            filled += take;
        }
        return true;
    };

    while (filled < count && av_read_frame(m_Format.get(), packet.get()) >= 0) {
        if (packet->stream_index == m_Stream) {
            const int sent = avcodec_send_packet(m_Codec.get(), packet.get());
            av_packet_unref(packet.get());
            if (sent < 0 && sent != AVERROR(EAGAIN)) {
                error = describe(sent);
                return false;
            }
            if (!drain()) return false;
        } else {
            av_packet_unref(packet.get());
        }
    }
    avcodec_send_packet(m_Codec.get(), nullptr);  // flush what the decoder still holds
    return drain();
}

#pragma once

#include "AudioReader.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVIOContext;
struct AVPacket;
struct AVDictionary;

// Reads, through FFmpeg, the audio files that the general audio library
// cannot (AAC or ALAC in M4A, for instance). Its mono series is the first
// channel, unmixed.
//
// FFmpeg reads the already opened regular file through our own I/O: it never
// opens a URL, a device or a pipe by itself. A container that refers to
// other files may open them only if they are regular local files (the file
// protocol alone is allowed), and every blocking step can be interrupted.
// Each decoded frame is taken as it comes, whatever its channel count and
// sample format: a stream whose layout changes midway is read safely.
class FfmpegReader final : public AudioReader {
public:
    // Sixteen AAC frames, eight of HE-AAC.
    static constexpr std::int64_t kWarmUpFrames = 16384;

    FfmpegReader();
    ~FfmpegReader() override;
    FfmpegReader(const FfmpegReader&) = delete;
    FfmpegReader& operator=(const FfmpegReader&) = delete;

    bool open(const RegularFile& file, const Interrupt& interrupted, Refusal& refusal) override;
    double sampleRate() const override;
    // The container's length in frames when it states one (the decoder may
    // deliver a few more; they are not asked for); unknown when FFmpeg could
    // only estimate it from the bit rate.
    std::int64_t declaredFrames() const override { return m_Frames; }
    std::int64_t read(float* into, std::int64_t count) override;
    void close() override;
    // Another reader of the file from `frame` on, found by the timestamps of
    // the decoded frames; the decoder starts cold after the seek.
    std::unique_ptr<AudioReader> readerAt(const RegularFile& file, std::int64_t frame) const override;
    std::int64_t warmUpFrames() const override { return kWarmUpFrames; }

    std::string formatDescription() const;

private:
    struct Deleters {
        void operator()(AVFormatContext* format) const;
        void operator()(AVCodecContext* codec) const;
        void operator()(AVIOContext* io) const;
        void operator()(AVPacket* packet) const;
        void operator()(AVFrame* frame) const;
    };

    static int readBytes(void* self, std::uint8_t* into, int size);
    static std::int64_t seekBytes(void* self, std::int64_t offset, int whence);
    static int interruptRequested(void* self);
    static int openNested(AVFormatContext* format, AVIOContext** io, const char* url, int flags,
                          AVDictionary** options);

    bool openStream(const RegularFile& file, std::string& error);
    bool decodeMore();
    bool startAt(std::int64_t frame);
    void takeFirstChannel(const AVFrame& frame);
    void fail(int code);

    const RegularFile* m_File = nullptr;
    std::int64_t m_Offset = 0;  // where our I/O reads next
    Interrupt m_Interrupted;
    int (*m_DefaultOpen)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) = nullptr;

    std::unique_ptr<AVIOContext, Deleters> m_Io;
    std::unique_ptr<AVFormatContext, Deleters> m_Format;
    std::unique_ptr<AVCodecContext, Deleters> m_Codec;
    std::unique_ptr<AVPacket, Deleters> m_Packet;
    std::unique_ptr<AVFrame, Deleters> m_Frame;
    int m_Stream = -1;
    std::int64_t m_Frames = kUnknownLength;

    std::vector<float> m_Pending;  // the first channel of the last decoded frame
    std::size_t m_PendingAt = 0;   // how much of it was delivered
    std::int64_t m_PendingStart = kUnknownLength;  // its first frame by its timestamp, if it has one
    bool m_Flushed = false;        // the end of the file was signalled to the decoder
    bool m_Ended = false;
    bool m_Failed = false;
};

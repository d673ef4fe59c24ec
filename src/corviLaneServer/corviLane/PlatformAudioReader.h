#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVCodecContext;

// Reads the audio files that the general audio library cannot (AAC or ALAC
// in M4A, for instance) through FFmpeg: the file's length in frames, its
// sample rate, and the first frames of its first channel as floats.
class PlatformAudioReader {
public:
    PlatformAudioReader();
    ~PlatformAudioReader();
    PlatformAudioReader(const PlatformAudioReader&) = delete;
    PlatformAudioReader& operator=(const PlatformAudioReader&) = delete;

    // Opens the file's best audio stream; on failure `error` says why.
    bool open(const std::string& path, std::string& error);

    // The container's length in frames (the decoder may deliver a few more;
    // they are never returned).
    std::int64_t lengthInFrames() const { return m_Frames; }
    double sampleRate() const;
    std::string formatDescription() const;

    // The first `count` frames of the first channel; frames the file does not
    // deliver are silence. False, with `error`, when decoding fails.
    bool readFirstChannel(std::int64_t count, std::vector<float>& samples, std::string& error);

private:
    struct Deleters {
        void operator()(AVFormatContext* format) const;
        void operator()(AVCodecContext* codec) const;
    };

    std::unique_ptr<AVFormatContext, Deleters> m_Format;
    std::unique_ptr<AVCodecContext, Deleters> m_Codec;
    int m_Stream = -1;
    std::int64_t m_Frames = 0;
};

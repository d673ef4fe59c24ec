#pragma once

#include "AudioReader.h"
#include "WavAiffReader.h"

#include <cstdint>
#include <memory>
#include <string>

class RegularFile;

namespace waveform {

// Cap, in frames, of what one load through FFmpeg takes (about 460 MB of
// float samples).
constexpr std::int64_t kFfmpegFrameCap = 114988604;
// The longest series analysed, whatever the decoder (about 13.5 hours at
// 44.1 kHz): a file that holds or declares more is refused, so that no file
// can make a load decode for ever.
constexpr std::int64_t kMaxSeriesFrames = std::int64_t{1} << 31;

// The decoder that read a file.
enum class Decoder {
    None,        // none was tried
    Libsndfile,  // tried first on every file
    WavAiff,     // the own WAV/AIFF decoder
    Ffmpeg,      // every other file
};

// The decoder's name as the tools show it: "libsndfile", "own WAV/AIFF
// decoder", "platform (FFmpeg)" or "none".
const char* decoder_name(Decoder decoder);

}  // namespace waveform

// A file opened by the decoder the rules chose, and how much of it a load
// takes, as that decoder's rules say.
struct LoadPlan {
    AudioReader* reader = nullptr;  // null: no decoder took the file
    waveform::Decoder decoder = waveform::Decoder::None;
    double sampleRate = 0;
    // The frames to take, or AudioReader::kUnknownLength: as many as the
    // file holds (counted), at most `limit` when that is positive.
    std::int64_t frames = AudioReader::kUnknownLength;
    std::int64_t limit = 0;
    // FFmpeg's rule: the fractions choose the frames of a length
    // that had to be counted first.
    bool fractionsOfCount = false;
    float start = 0.0f;
    float fraction = 1.0f;
    // libsndfile's rule: a decoding that fails part-way keeps what came.
    bool keepsPartial = false;
    // The own decoder's refused compression type, when that was the reason.
    std::string unsupportedFormat;

    // The frames taken of a series whose length was counted to `count`.
    std::int64_t framesOfCount(std::int64_t count) const;
};

// Picks the decoder of a file: libsndfile first; a file it does not take
// goes, by the end of its name (case-sensitively), to the own WAV/AIFF
// decoder (".wav", ".aif", ".aiff") or to FFmpeg. The libsndfile and FFmpeg
// readers may each be missing (no such decoder).
class DecoderChoice {
public:
    DecoderChoice(std::unique_ptr<AudioReader> sndfile, std::unique_ptr<AudioReader> ffmpeg);

    // Opens `file` with the decoder chosen; the plan's reader stays open
    // until the next open. `start` and `fraction` apply to FFmpeg only.
    LoadPlan open(const RegularFile& file, float start, float fraction, const Interrupt& interrupted);

private:
    LoadPlan wavAiff(const RegularFile& file, const Interrupt& interrupted);
    LoadPlan ffmpeg(const RegularFile& file, float start, float fraction, const Interrupt& interrupted);

    std::unique_ptr<AudioReader> m_Sndfile;
    WavAiffReader m_WavAiff;
    std::unique_ptr<AudioReader> m_Ffmpeg;
};

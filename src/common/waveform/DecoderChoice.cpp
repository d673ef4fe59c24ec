#include "DecoderChoice.h"

#include "Console.h"
#include "RegularFile.h"

#include <syslog.h>

#include <algorithm>
#include <cmath>
#include <string_view>

namespace {

bool endsWith(const std::string& text, std::string_view tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A declared length beyond what a load may take is not believed: the frames
// the file really holds are counted instead.
std::int64_t lengthOrUnknown(std::int64_t declared) {
    return declared >= 0 && declared <= waveform::kMaxSeriesFrames ? declared : AudioReader::kUnknownLength;
}

// A float towards zero as a 64-bit integer, for any value: NaN counts as 0
// and magnitudes beyond what the frame arithmetic needs are held at 2^62.
std::int64_t truncated(float value) {
    constexpr float kBound = 4611686018427387904.0f;  // 2^62
    if (std::isnan(value)) return 0;
    return static_cast<std::int64_t>(std::trunc(std::clamp(value, -kBound, kBound)));
}

float fractionOrZero(float fraction) { return std::isnan(fraction) ? 0.0f : fraction; }

// The frames of a file of `frames` frames that the fractions select: the
// start fraction moves the end, reading always begins at the first frame.
std::int64_t framesForFractions(std::int64_t frames, float start, float fraction) {
    const auto length = static_cast<float>(frames);
    const float s = fractionOrZero(start) * length;
    const std::int64_t n = truncated(fractionOrZero(fraction) * length + s) - truncated(s);
    return std::clamp<std::int64_t>(n, 0, waveform::kFfmpegFrameCap);
}

}  // namespace

const char* waveform::decoder_name(Decoder decoder) {
    switch (decoder) {
        case Decoder::Libsndfile: return "libsndfile";
        case Decoder::WavAiff: return "own WAV/AIFF decoder";
        case Decoder::Ffmpeg: return "platform (FFmpeg)";
        case Decoder::None: break;
    }
    return "none";
}

std::int64_t LoadPlan::framesOfCount(std::int64_t count) const {
    return fractionsOfCount ? framesForFractions(count, start, fraction) : count;
}

DecoderChoice::DecoderChoice(std::unique_ptr<AudioReader> sndfile, std::unique_ptr<AudioReader> ffmpeg)
    : m_Sndfile(std::move(sndfile)), m_Ffmpeg(std::move(ffmpeg)) {}

// libsndfile's rule: every channel summed, then halved, whatever the
// channel count; frames it declares but does not deliver are silence.
LoadPlan DecoderChoice::open(const RegularFile& file, float start, float fraction, const Interrupt& interrupted) {
    if (file.isOpen() && m_Sndfile) {
        Refusal refusal;
        if (m_Sndfile->open(file, interrupted, refusal)) {
            return {.reader = m_Sndfile.get(),
                    .decoder = waveform::Decoder::Libsndfile,
                    .sampleRate = m_Sndfile->sampleRate(),
                    .frames = lengthOrUnknown(m_Sndfile->declaredFrames()),
                    .keepsPartial = true};
        }
    }
    const std::string& path = file.path();
    if (endsWith(path, ".aiff") || endsWith(path, ".aif") || endsWith(path, ".wav")) return wavAiff(file, interrupted);
    return ffmpeg(file, start, fraction, interrupted);
}

// The own decoder: the first channel, or the mean of two; a file of no frame
// gives nothing to analyse.
LoadPlan DecoderChoice::wavAiff(const RegularFile& file, const Interrupt& interrupted) {
    Refusal refusal;
    const bool loaded = m_WavAiff.open(file, interrupted, refusal);
    const char* path = file.path().c_str();
    const double rate = m_WavAiff.sampleRate();
    const std::int64_t n = m_WavAiff.declaredFrames();
    Console::print("opening wav from: %s\nsuccessful: %d\n", path, loaded ? 1 : 0);
    Console::print("opening wav from: %s\nsuccessful: %d\nsampleRate: %f\nfile_length_in_samples: %ld\n", path,
                   loaded ? 1 : 0, rate, static_cast<long>(n));
    LoadPlan plan{.decoder = waveform::Decoder::WavAiff, .sampleRate = rate, .frames = n};
    if (n == 0) {
        Console::print("samples not there?\n");
        plan.unsupportedFormat = refusal.unsupportedFormat;
        return plan;
    }
    plan.reader = &m_WavAiff;
    return plan;
}

// FFmpeg: the first channel, unmixed; the fractions decide how
// many frames are taken from the start of the file. When the file does not
// tell its length, it is counted (up to the cap) and the fractions apply to
// what it held.
LoadPlan DecoderChoice::ffmpeg(const RegularFile& file, float start, float fraction, const Interrupt& interrupted) {
    LoadPlan plan{.decoder = waveform::Decoder::Ffmpeg,
                  .limit = waveform::kFfmpegFrameCap,
                  .start = start,
                  .fraction = fraction};
    Refusal refusal{.reason = file.error()};
    if (!m_Ffmpeg || !file.isOpen() || !m_Ffmpeg->open(file, interrupted, refusal)) {
        syslog(LOG_ERR, "Error when trying to open AVAudioFile: %s\n URL: %s",
               refusal.reason.empty() ? "no reader" : refusal.reason.c_str(), file.path().c_str());
        return plan;
    }
    plan.reader = m_Ffmpeg.get();
    plan.sampleRate = m_Ffmpeg->sampleRate();
    const std::int64_t declared = lengthOrUnknown(m_Ffmpeg->declaredFrames());
    plan.fractionsOfCount = declared == AudioReader::kUnknownLength;
    plan.frames = plan.fractionsOfCount ? declared : framesForFractions(declared, start, fraction);
    return plan;
}

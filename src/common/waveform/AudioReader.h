#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class RegularFile;

// Asked now and then during a long or possibly blocking operation; true
// means "give up now" (the server is stopping).
using Interrupt = std::function<bool()>;

// Why a decoder did not take a file.
struct Refusal {
    std::string reason;             // for the log
    std::string unsupportedFormat;  // a refused compression type, when that is the reason
};

// One way of decoding audio files into the single mono series the waveform
// analyses take. The analyzer tries its readers in turn on a file it has
// already opened (and checked to be a regular local file); the one that
// takes the file then delivers its samples block by block, mixed to mono
// by its own rule. A reader serves one file at a time: `open` replaces
// whatever it read before. Nothing here throws.
class AudioReader {
public:
    static constexpr std::int64_t kUnknownLength = -1;

    virtual ~AudioReader() = default;

    // Takes `file` for reading, or says in `refusal` why not. `interrupted`
    // stays in use until the next open; it may be empty.
    virtual bool open(const RegularFile& file, const Interrupt& interrupted, Refusal& refusal) = 0;

    // Of the open file: frames per second (also known after some refusals,
    // zero when nothing was learnt) ...
    virtual double sampleRate() const = 0;
    // ... and the number of frames its header declares, or kUnknownLength.
    // Headers may lie: a reader delivers what the file really holds.
    virtual std::int64_t declaredFrames() const = 0;

    // The next frames of the mono series, at most `count`, into `into`: how
    // many were delivered, 0 at the end, -1 when decoding failed.
    virtual std::int64_t read(float* into, std::int64_t count) = 0;

    // Lets go of the file and of everything decoded from it.
    virtual void close() = 0;

    // Whether every sample of the open file is sure to be a finite number
    // (integer samples, for instance), so that nobody need look for others.
    virtual bool deliversOnlyNumbers() const { return false; }

    // Of the open file: another reader of the same file (which must stay
    // open meanwhile), positioned at `frame`, that delivers what this one
    // would deliver from that frame on, save for its first warmUpFrames()
    // frames. Readers made so may be used on other threads at the same
    // time, so that ranges of the file are decoded in parallel. Null when
    // the file cannot be read that way.
    virtual std::unique_ptr<AudioReader> readerAt(const RegularFile& /*file*/, std::int64_t /*frame*/) const {
        return nullptr;
    }
    // Of the open file: 0 when a reader made by readerAt is exact from its
    // first frame (uncompressed and lossless files, whose decoding does not
    // depend on what came before). Otherwise the frames such a reader must
    // decode before it can agree with a decoding that ran from the start (a
    // lossy decoder starting cold); whether it then does agree is for the
    // caller to check.
    virtual std::int64_t warmUpFrames() const { return 0; }
    // Of the open file: whether ranges made by readerAt count only once the
    // frames where two of them meet are the same, bit for bit (after a
    // warm-up, or where a seek could land off the frame asked for).
    virtual bool checksSeams() const { return warmUpFrames() > 0; }
};

// For readers that decode a frame at a time: hands out what is left of the
// last frame's samples from `at` on, at most `count` of them, into `into`;
// returns how many, and moves `at` past them.
inline std::int64_t takePending(const std::vector<float>& pending, std::size_t& at, float* into, std::int64_t count) {
    const std::size_t take = std::min(pending.size() - std::min(at, pending.size()), static_cast<std::size_t>(std::max<std::int64_t>(count, 0)));
    std::copy_n(pending.begin() + static_cast<std::ptrdiff_t>(at), take, into);
    at += take;
    return static_cast<std::int64_t>(take);
}

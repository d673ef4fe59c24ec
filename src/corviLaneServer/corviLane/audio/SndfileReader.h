#pragma once

#include "AudioReader.h"
#include "FlacStream.h"

#include <sndfile.h>

#include <memory>
#include <vector>

// libsndfile, the first decoder tried on every file (WAV, AIFF, FLAC, Ogg,
// MP3 …). Its mono series is every channel summed and then halved, whatever
// the channel count: a mono file arrives at half amplitude, a stereo file as
// the mean of its channels.
class SndfileReader final : public AudioReader {
public:
    bool open(const RegularFile& file, const Interrupt& interrupted, Refusal& refusal) override;
    double sampleRate() const override { return m_Info.samplerate; }
    std::int64_t declaredFrames() const override;
    std::int64_t read(float* into, std::int64_t count) override;
    void close() override;
    bool deliversOnlyNumbers() const override;
    // For uncompressed and FLAC files, whose seeks land exactly on the frame
    // and whose decoding does not depend on what was decoded before, and for
    // MPEG audio (MP3), whose decoder needs a warm-up after a seek.
    std::unique_ptr<AudioReader> readerAt(const RegularFile& file, std::int64_t frame) const override;
    std::int64_t warmUpFrames() const override;
    // MPEG audio after its warm-up, and 16-bit FLAC, whose seeks libFLAC
    // finds by searching the stream.
    bool checksSeams() const override;

private:
    struct Closer {
        void operator()(SNDFILE* file) const { sf_close(file); }
    };

    static sf_count_t length(void* self);
    static sf_count_t seek(sf_count_t offset, int whence, void* self);
    static sf_count_t readBytes(void* into, sf_count_t count, void* self);
    static sf_count_t tell(void* self);

    const RegularFile* m_Source = nullptr;
    sf_count_t m_Offset = 0;  // where libsndfile reads next
    std::unique_ptr<SNDFILE, Closer> m_File;
    SF_INFO m_Info{};
    std::vector<float> m_Block;   // interleaved frames as decoded
    std::vector<short> m_Shorts;  // the same, of a 16-bit file, as stored
    std::unique_ptr<FlacStream> m_Flac;  // a 16-bit FLAC's samples, when libFLAC reads them
};

#pragma once

#include "AudioReader.h"

#include <FLAC/stream_decoder.h>
#include <sndfile.h>

#include <cstdint>
#include <memory>
#include <vector>

class RegularFile;

// libFLAC itself on a 16-bit FLAC file that libsndfile opened, for speed:
// libsndfile reads the header and says what the file is; the samples come
// straight from the decoder's frames, exactly as libsndfile's 16-bit read
// would give them (the decoded integers in units of 1/32768), every channel
// summed and halved on the way out, without libsndfile's copies between.
class FlacStream {
public:
    // The stream of `file`, which libsndfile described as `info`; null when
    // libFLAC does not see the same stream (libsndfile then reads it).
    static std::unique_ptr<FlacStream> open(const RegularFile& file, const SF_INFO& info);
    ~FlacStream();
    FlacStream(const FlacStream&) = delete;
    FlacStream& operator=(const FlacStream&) = delete;

    // To exactly `frame`.
    bool seek(std::int64_t frame);
    // As AudioReader::read: the next frames of the mono series, at most
    // `count`; 0 at the end, -1 when decoding failed.
    std::int64_t read(float* into, std::int64_t count);

private:
    struct Deleter {
        void operator()(FLAC__StreamDecoder* decoder) const { FLAC__stream_decoder_delete(decoder); }
    };

    FlacStream(const RegularFile& file, int channels);
    bool start(const SF_INFO& info);

    static FLAC__StreamDecoderReadStatus readBytes(const FLAC__StreamDecoder*, FLAC__byte into[], size_t* bytes,
                                                   void* self);
    static FLAC__StreamDecoderSeekStatus seekBytes(const FLAC__StreamDecoder*, FLAC__uint64 offset, void* self);
    static FLAC__StreamDecoderTellStatus tell(const FLAC__StreamDecoder*, FLAC__uint64* offset, void* self);
    static FLAC__StreamDecoderLengthStatus length(const FLAC__StreamDecoder*, FLAC__uint64* length, void* self);
    static FLAC__bool atEnd(const FLAC__StreamDecoder*, void* self);
    static FLAC__StreamDecoderWriteStatus frameDecoded(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                                       const FLAC__int32* const channels[], void* self);
    static void metadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* block, void* self);
    static void error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* self);

    const RegularFile& m_File;
    const int m_Channels;
    std::int64_t m_Offset = 0;  // where libFLAC reads next
    std::unique_ptr<FLAC__StreamDecoder, Deleter> m_Decoder;
    FLAC__StreamMetadata_StreamInfo m_Info{};
    bool m_HasInfo = false;
    std::vector<float> m_Pending;  // the mono series of the last frame decoded
    std::size_t m_PendingAt = 0;   // how much of it was delivered
    bool m_Failed = false;
    bool m_Seeking = false;  // libFLAC's search for a frame reports what it skips
};

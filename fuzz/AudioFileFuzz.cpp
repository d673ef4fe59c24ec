// Feeds arbitrary bytes to the own WAV/AIFF decoder, both as a WAV and as an
// AIFF file. The first byte of an input is left out: the audio corpus is
// shared with the load-path harness, which reads it as the choice of a name.
#include "AudioFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::freopen("/dev/null", "w", stdout);  // the decoder's refusal lines
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::vector<std::uint8_t> bytes(data + 1, data + size);
    AudioFile wave;
    if (wave.decodeWaveFile(bytes) && wave.getNumChannels() > 2) __builtin_trap();
    AudioFile aiff;
    if (aiff.decodeAiffFile(bytes) && aiff.getNumChannels() > 2) __builtin_trap();
    return 0;
}

#pragma once

// Audio files for the waveform tests, written with libsndfile, patched by
// hand, or made by the ffmpeg command line.
#include "LinuxAnalyzer.h"
#include "WaveformAnalyzer.h"

#include <sndfile.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

inline std::unique_ptr<WaveformAnalyzer> productionAnalyzer() { return makeLinuxAnalyzer(); }

inline std::string writeSound(const std::string& path, int channels, const std::vector<float>& interleaved,
                              int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16, int rate = 44100) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file != nullptr) {
        sf_writef_float(file, interleaved.data(), static_cast<sf_count_t>(interleaved.size()) / channels);
        sf_close(file);
    }
    return path;
}

// Rewrites the 36-bit total length of a FLAC's STREAMINFO (low nibble of
// byte 21, bytes 22-25); 0 means "unknown", as streaming encoders write it.
inline std::string setFlacLength(const std::string& path, std::uint64_t frames) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    char bytes[26] = {};
    file.read(bytes, sizeof bytes);
    bytes[21] = static_cast<char>((bytes[21] & 0xF0) | ((frames >> 32) & 0x0F));
    for (int i = 0; i < 4; ++i) bytes[22 + i] = static_cast<char>(frames >> (24 - 8 * i));
    file.seekp(0);
    file.write(bytes, sizeof bytes);
    return path;
}

// A 16-bit WAV whose data chunk comes before its format chunk: libsndfile
// refuses it, the own decoder reads it.
inline std::string writeDataFirstWav(const std::string& path, int channels, const std::vector<std::int16_t>& samples) {
    auto le = [](std::uint32_t value, int bytes) {
        std::string text;
        for (int i = 0; i < bytes; ++i) text += static_cast<char>(value >> (8 * i));
        return text;
    };
    const auto data = std::string(reinterpret_cast<const char*>(samples.data()), samples.size() * 2);
    const auto block = static_cast<std::uint32_t>(2 * channels);
    const std::string body = "WAVEdata" + le(static_cast<std::uint32_t>(data.size()), 4) + data + "fmt " + le(16, 4) +
                             le(1, 2) + le(static_cast<std::uint32_t>(channels), 2) + le(44100, 4) +
                             le(44100 * block, 4) + le(block, 2) + le(16, 2);
    std::ofstream(path, std::ios::binary) << "RIFF" << le(static_cast<std::uint32_t>(body.size()), 4) << body;
    return path;
}

// Runs the ffmpeg command line quietly; false when it could not make the file.
inline bool ffmpeg(const std::string& arguments) {
    return std::system(("ffmpeg -loglevel error -y " + arguments + " </dev/null").c_str()) == 0;
}

#pragma once

#include "AudioReader.h"

#include <memory>
#include <string>

// FFmpeg's reader, loaded from its module the first time a file reaches it,
// then used as if it were linked in. When the module cannot be loaded every
// file is refused with the reason, which is also logged once.
class FfmpegLoader final : public AudioReader {
public:
    bool open(const RegularFile& file, const Interrupt& interrupted, Refusal& refusal) override;
    double sampleRate() const override { return m_Reader ? m_Reader->sampleRate() : 0.0; }
    std::int64_t declaredFrames() const override { return m_Reader ? m_Reader->declaredFrames() : kUnknownLength; }
    std::int64_t read(float* into, std::int64_t count) override { return m_Reader ? m_Reader->read(into, count) : -1; }
    void close() override {
        if (m_Reader) m_Reader->close();
    }
    std::unique_ptr<AudioReader> readerAt(const RegularFile& file, std::int64_t frame) const override {
        return m_Reader ? m_Reader->readerAt(file, frame) : nullptr;
    }
    std::int64_t warmUpFrames() const override { return m_Reader ? m_Reader->warmUpFrames() : 0; }

    // The module's path for the running program.
    static std::string modulePath();

private:
    std::unique_ptr<AudioReader> m_Reader;
};

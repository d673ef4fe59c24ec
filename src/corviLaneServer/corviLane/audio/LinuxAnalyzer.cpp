#include "LinuxAnalyzer.h"

#include "FFT.h"
#include "FfmpegLoader.h"
#include "SndfileReader.h"
#include "WaveformAnalyzer.h"

#include <exception>

std::unique_ptr<WaveformAnalyzer> makeLinuxAnalyzer() {
    try {
        return std::make_unique<WaveformAnalyzer>(WaveformAnalyzer::Parts{.sndfile = std::make_unique<SndfileReader>(),
                                                                          .ffmpeg = std::make_unique<FfmpegLoader>(),
                                                                          .colour = std::make_unique<FFT>()});
    } catch (const std::exception&) {
        return nullptr;
    }
}

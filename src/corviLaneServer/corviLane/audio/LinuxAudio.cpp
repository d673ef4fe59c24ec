#include "LinuxAudio.h"

#include "FFT.h"
#include "FfmpegLoader.h"
#include "SndfileReader.h"
#include "WaveformAnalyzer.h"

#include <exception>

std::unique_ptr<WaveformAnalyzer> makeLinuxAnalyzer() {
    try {
        return std::make_unique<WaveformAnalyzer>(WaveformAnalyzer::Parts{.library = std::make_unique<SndfileReader>(),
                                                                          .platform = std::make_unique<FfmpegLoader>(),
                                                                          .colour = std::make_unique<FFT>()});
    } catch (const std::exception&) {
        return nullptr;
    }
}

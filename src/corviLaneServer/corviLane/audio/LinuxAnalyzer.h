#pragma once

#include <memory>

class WaveformAnalyzer;

// The analyzer with this platform's pieces: libsndfile first, FFmpeg for what
// it does not open, FFTW for the spectra. Null when memory for them is short
// (the server runs on without waveforms).
std::unique_ptr<WaveformAnalyzer> makeLinuxAnalyzer();

#pragma once

#include <string>

// corvilane-waveform's command line, read the GNU way (getopt_long): options
// and FILE in any order, "--" ends the options, an option's value after it or
// after '='. "--help" and "--version" say what they say; anything else wrong
// (an unknown option, a value out of range, no FILE or two) is an error.
class WaveformToolOptions {
public:
    enum class Mode { Run, Help, Version, Error };

    Mode mode = Mode::Run;
    // The line that says what is wrong, for Mode::Error; empty when
    // getopt_long has already printed it.
    std::string error;

    std::string file;
    float start = 0.0f;      // --start: fraction of the file, 0 to 1
    float length = 1.0f;     // --length: fraction of the file, 0 to 1
    bool fractions = false;  // --start or --length given
    bool json = false;
    bool verbose = false;
    std::string png;  // --png: empty, no picture
    int width = 0;    // 0: one column per pair, at most 2000
    int height = 240;

    static WaveformToolOptions parse(int argc, const char* const argv[]);

    static std::string usage();
    static std::string version();
    // "Try 'corvilane-waveform --help' for more information."
    static std::string hint();
};

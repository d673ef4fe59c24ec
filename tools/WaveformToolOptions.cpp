#include "WaveformToolOptions.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifndef CORVILANE_VERSION
#define CORVILANE_VERSION "unknown"
#endif

namespace {

constexpr const char* kProgram = "corvilane-waveform";

constexpr const char* kHelpText =
    "Usage: corvilane-waveform [OPTION]... FILE\n"
    "Decode an audio FILE exactly as the corviLane server does and compute the two\n"
    "series the tablet draws: the waveform and the intensity. Without --json a\n"
    "summary goes to standard output: the decoder, the sample rate, the samples of\n"
    "the mono series, the waveform pairs and intensity points, the duration and\n"
    "the time taken.\n"
    "\n"
    "Options:\n"
    "      --start F      fraction of the file (0 to 1, default 0) where the\n"
    "                     requested range starts, as the tablet sends it\n"
    "      --length F     fraction of the file (0 to 1, default 1) to take.\n"
    "                     Both act as in the server: the FFmpeg reader takes\n"
    "                     length x the file's frames from the first frame (start\n"
    "                     only moves the rounding); libsndfile and the own\n"
    "                     WAV/AIFF decoder always read the whole file.\n"
    "      --json         print both series as one JSON object instead of the summary\n"
    "      --png OUT.png  also draw the waveform, coloured by intensity, into OUT.png\n"
    "      --size WxH     the PNG's waveform area in pixels (default: one column per\n"
    "                     waveform pair, at most 2000, by 240); a time axis and a\n"
    "                     colour legend are added below it\n"
    "  -v, --verbose      show the decoders' own messages on standard error\n"
    "                     (without it they are dropped)\n"
    "  -h, --help         show this help and exit\n"
    "  -V, --version      show the version and exit\n"
    "      --             end of options: a FILE named like an option follows\n"
    "\n"
    "The series: every window of 2k samples of the mono series gives one waveform\n"
    "pair, its lowest and its highest sample in the order they occur (amplitudes,\n"
    "full scale -1 to 1); every k samples give one intensity point, from the\n"
    "512 samples starting there: how the energy spreads over a low (below 250 Hz),\n"
    "a middle (250-1500 Hz) and a high band, from 0.5 (one band alone) to 1.5\n"
    "(all three even), 0 for silence and for the last points, whose 512 samples\n"
    "would run past the end. k is the length divided by 30000, rounded up.\n"
    "\n"
    "JSON keys: duration (s), waveform ([first, second, first, second, ...]),\n"
    "intensity (one value per point), decoder, sample_rate (Hz), samples,\n"
    "samples_per_point (k), points, waveform_pairs, window_samples (2k),\n"
    "intensity_frame_samples (512), intensity_computed, mono_mix (how the decoder\n"
    "made one channel), and fields: each key's unit and meaning.\n"
    "\n"
    "PNG: every column shows the extremes of the pairs that fall in it, in the\n"
    "colour of their highest intensity, from blue (0) through green (0.75) to red\n"
    "(1.5 and above); a time axis in minutes:seconds and the legend below.\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  other trouble (the PNG cannot be written, memory, standard output lost)\n"
    "  2  wrong command line\n"
    "  3  FILE does not exist\n"
    "  4  FILE cannot be read (permissions, a directory, not a regular file)\n"
    "  5  FILE is not audio that this tool can decode (--verbose tells more)\n";

// The options without a short form are told apart by these values.
enum LongOnly : int { kStart = 256, kLength, kJson, kPng, kSize };

constexpr option kOptions[] = {
    {"start", required_argument, nullptr, kStart},
    {"length", required_argument, nullptr, kLength},
    {"json", no_argument, nullptr, kJson},
    {"png", required_argument, nullptr, kPng},
    {"size", required_argument, nullptr, kSize},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// A fraction of the file: a number from 0 to 1, nothing after it.
bool readFraction(const char* text, float& value) {
    char* end = nullptr;
    errno = 0;
    const double read = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !(read >= 0.0 && read <= 1.0)) return false;
    value = static_cast<float>(read);
    return true;
}

// A side of the image: digits only, 1 to 20000.
bool readSide(const char* begin, const char* end, int& side) {
    if (begin == end || end - begin > 5) return false;
    int value = 0;
    for (const char* c = begin; c < end; ++c) {
        if (*c < '0' || *c > '9') return false;
        value = value * 10 + (*c - '0');
    }
    if (value < 1 || value > 20000) return false;
    side = value;
    return true;
}

bool readSize(const char* text, int& width, int& height) {
    const char* x = std::strchr(text, 'x');
    return x != nullptr && readSide(text, x, width) && readSide(x + 1, x + std::strlen(x), height);
}

WaveformToolOptions failed(WaveformToolOptions options, const std::string& message) {
    options.mode = WaveformToolOptions::Mode::Error;
    if (!message.empty()) options.error = std::string(kProgram) + ": " + message;
    return options;
}

}  // namespace

WaveformToolOptions WaveformToolOptions::parse(int argc, const char* const argv[]) {
    WaveformToolOptions options;
    // getopt_long names the program by argv[0] in its messages, and reorders
    // the arguments (the pointers, never the strings): it gets a copy with
    // the program's own name.
    std::string name = kProgram;
    std::vector<char*> args{name.data()};
    for (int i = 1; i < argc; ++i) args.push_back(const_cast<char*>(argv[i]));
    const int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    opterr = 1;
    optind = 1;
    for (;;) {
        const int found = getopt_long(count, args.data(), "hVv", kOptions, nullptr);
        if (found == -1) break;
        const char* value = optarg;
        switch (found) {
            case 'h':
                options.mode = Mode::Help;
                return options;
            case 'V':
                options.mode = Mode::Version;
                return options;
            case 'v':
                options.verbose = true;
                break;
            case kStart:
            case kLength:
                if (!readFraction(value, found == kStart ? options.start : options.length)) {
                    return failed(options, std::string("invalid ") + (found == kStart ? "--start" : "--length") +
                                               " '" + value + "': a fraction of the file from 0 to 1");
                }
                options.fractions = true;
                break;
            case kJson:
                options.json = true;
                break;
            case kPng:
                options.png = value;
                if (options.png.empty()) return failed(options, "--png needs a file name");
                break;
            case kSize:
                if (!readSize(value, options.width, options.height)) {
                    return failed(options, std::string("invalid --size '") + value +
                                               "': WIDTHxHEIGHT, each from 1 to 20000 pixels");
                }
                break;
            default:  // getopt_long has printed what is wrong
                return failed(options, "");
        }
    }
    if (optind >= count) return failed(options, "missing FILE operand");
    if (optind + 1 < count) {
        return failed(options, std::string("extra operand '") + args[static_cast<std::size_t>(optind) + 1] + "'");
    }
    options.file = args[static_cast<std::size_t>(optind)];
    return options;
}

std::string WaveformToolOptions::usage() { return kHelpText; }

std::string WaveformToolOptions::version() { return std::string(kProgram) + " (corviLane) " CORVILANE_VERSION "\n"; }

std::string WaveformToolOptions::hint() {
    return std::string("Try '") + kProgram + " --help' for more information.";
}

// corvilane-waveform: runs the server's audio loading and both analyses on a
// file and shows what the tablet will draw. `corvilane-waveform --help` tells
// how it is used.
#include "Console.h"
#include "LinuxAnalyzer.h"
#include "WaveformAnalyzer.h"
#include "WaveformImage.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#ifndef CORVILANE_VERSION
#define CORVILANE_VERSION "unknown"
#endif

namespace {

constexpr const char* kProgram = "corvilane-waveform";

// Exit statuses, as --help lists them.
enum Status : int {
    kSuccess = 0,
    kFailure = 1,     // anything else: the PNG cannot be written, no memory, standard output lost
    kUsage = 2,       // the command line is wrong
    kNoSuchFile = 3,  // nothing at FILE's path
    kUnreadable = 4,  // FILE is there but cannot be read (permissions, a directory, a device)
    kNotAudio = 5,    // FILE reads, but no decoder makes audio of it
};

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

struct Options {
    std::string file;
    float start = 0.0f;
    float length = 1.0f;
    bool json = false;
    bool fractions = false;  // --start or --length given
    bool verbose = false;
    std::string png;
    int width = 0;  // 0: one column per pair, at most 2000
    int height = 240;
};

// A parse that ends the program (help, version, a wrong command line) says
// with which status.
struct Parsed {
    Options options;
    std::optional<int> exit;
};

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

int usageError(const std::string& message) {
    if (!message.empty()) std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    std::fprintf(stderr, "Try '%s --help' for more information.\n", kProgram);
    return kUsage;
}

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

// GNU rules: options and FILE in any order, "--" ends the options, an
// option's value after it or after '='; getopt_long says what it refuses.
Parsed parse(int argc, char* argv[]) {
    Parsed parsed;
    Options& options = parsed.options;
    // getopt_long names the program by argv[0] in its messages, and reorders
    // the arguments: it gets a copy with the program's own name.
    std::vector<char*> args(argv, argv + argc);
    std::string name = kProgram;
    args[0] = name.data();
    args.push_back(nullptr);
    opterr = 1;
    optind = 1;
    for (;;) {
        const int found = getopt_long(argc, args.data(), "hVv", kOptions, nullptr);
        if (found == -1) break;
        const char* value = optarg;
        switch (found) {
            case 'h':
                std::fputs(kHelpText, stdout);
                parsed.exit = kSuccess;
                return parsed;
            case 'V':
                std::printf("%s (corviLane) %s\n", kProgram, CORVILANE_VERSION);
                parsed.exit = kSuccess;
                return parsed;
            case 'v':
                options.verbose = true;
                break;
            case kStart:
            case kLength:
                if (!readFraction(value, found == kStart ? options.start : options.length)) {
                    parsed.exit = usageError(std::string("invalid ") + (found == kStart ? "--start" : "--length") +
                                             " '" + value + "': a fraction of the file from 0 to 1");
                    return parsed;
                }
                options.fractions = true;
                break;
            case kJson:
                options.json = true;
                break;
            case kPng:
                options.png = value;
                if (options.png.empty()) {
                    parsed.exit = usageError("--png needs a file name");
                    return parsed;
                }
                break;
            case kSize:
                if (!readSize(value, options.width, options.height)) {
                    parsed.exit = usageError(std::string("invalid --size '") + value +
                                             "': WIDTHxHEIGHT, each from 1 to 20000 pixels");
                    return parsed;
                }
                break;
            default:  // getopt_long has printed what is wrong
                parsed.exit = usageError("");
                return parsed;
        }
    }
    if (optind >= argc) {
        parsed.exit = usageError("missing FILE operand");
    } else if (optind + 1 < argc) {
        parsed.exit = usageError(std::string("extra operand '") + args[static_cast<std::size_t>(optind) + 1] + "'");
    } else {
        options.file = args[static_cast<std::size_t>(optind)];
    }
    return parsed;
}

// Why FILE cannot be handed to the decoders, before they try: nothing there,
// or something that cannot be read as a regular file. Opened without
// blocking, so that a FIFO cannot stall the tool.
std::optional<int> refuseUnreadable(const std::string& path) {
    auto refuse = [&path](int status, const std::string& why) {
        std::fprintf(stderr, "%s: %s: %s\n", kProgram, path.c_str(), why.c_str());
        return status;
    };
    auto unreadable = [&refuse](int error) {
        return refuse(kUnreadable, std::string("cannot be read (") + std::strerror(error) + ")");
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) return refuse(kNoSuchFile, "no such file");
        return unreadable(error);
    }
    struct stat info {};
    std::optional<int> status;
    char byte = 0;
    if (::fstat(fd, &info) != 0) {
        status = unreadable(errno);
    } else if (S_ISDIR(info.st_mode)) {
        status = unreadable(EISDIR);
    } else if (!S_ISREG(info.st_mode)) {
        status = refuse(kUnreadable, "cannot be read (not a regular file)");
    } else if (::pread(fd, &byte, 1, 0) < 0) {
        status = unreadable(errno);
    }
    ::close(fd);
    return status;
}

// Holds back what the decoders say while a file is analysed: the analyzer's
// console lines (which would go to standard output) are captured, and what
// FFmpeg writes straight to standard error goes to /dev/null. With --verbose
// both reach standard error, and so do the lines sent to the system log.
class DecoderMessages {
public:
    explicit DecoderMessages(bool verbose) : m_Verbose(verbose) {
        if (m_Verbose) {
            openlog(kProgram, LOG_PERROR, LOG_USER);
            return;
        }
        std::fflush(stderr);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null < 0) return;
        m_SavedStderr = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        if (m_SavedStderr >= 0) ::dup2(null, STDERR_FILENO);
        ::close(null);
    }
    ~DecoderMessages() { end(); }
    DecoderMessages(const DecoderMessages&) = delete;
    DecoderMessages& operator=(const DecoderMessages&) = delete;

    // Standard error as it was, with the console's lines when they are shown.
    void end() {
        if (m_SavedStderr >= 0) {
            ::dup2(m_SavedStderr, STDERR_FILENO);
            ::close(m_SavedStderr);
            m_SavedStderr = -1;
        }
        if (!m_Capture) return;
        if (m_Verbose) std::fputs(m_Capture->text().c_str(), stderr);
        m_Capture.reset();
    }

private:
    bool m_Verbose;
    int m_SavedStderr = -1;
    std::optional<Console::Capture> m_Capture{std::in_place};
};

// What the analyzer's decoders stand for.
struct Decoder {
    const char* name;     // in the summary and the JSON
    const char* monoMix;  // how it makes the one channel that is analysed
};

const char* monoMixOf(waveform::Decoder decoder) {
    switch (decoder) {
        case waveform::Decoder::Libsndfile:
            return "every channel summed, then halved, whatever the channel count (a mono file shows at half its "
                   "amplitude)";
        case waveform::Decoder::WavAiff: return "the first channel, or the mean of the two channels of a stereo file";
        case waveform::Decoder::Ffmpeg: return "the first channel, unmixed";
        case waveform::Decoder::None: break;
    }
    return "none";
}

Decoder describe(waveform::Decoder decoder) { return {waveform::decoder_name(decoder), monoMixOf(decoder)}; }

// The numbers the summary and the JSON share.
struct Shape {
    std::int64_t samples;   // of the mono series
    std::int64_t k;         // samples per point
    std::int64_t q;         // points
    std::int64_t pairs;     // waveform pairs
    std::int64_t computed;  // intensity points with a whole 512-sample frame
};

Shape shapeOf(std::int64_t samples) {
    const WaveformAnalyzer::Points points = WaveformAnalyzer::pointsFor(samples);
    return {samples, points.k, points.q, points.q > 1 ? points.q / 2 : 0, waveform::intensity_points(samples)};
}

std::string numbers(const std::vector<float>& values, std::size_t count) {
    std::string text = "[";
    for (std::size_t i = 0; i < count && i < values.size(); ++i) {
        char number[32];
        std::snprintf(number, sizeof number, "%s%.9g", i > 0 ? "," : "", static_cast<double>(values[i]));
        text += number;
    }
    return text + "]";
}

// Each key of the JSON with its unit and what it holds. The texts hold no
// character that JSON would need escaped.
struct Field {
    const char* key;
    const char* unit;
    const char* meaning;
};

constexpr Field kFields[] = {
    {"duration", "s", "length of the mono series analysed: samples / sample_rate"},
    {"waveform", "sample amplitude, full scale -1 to 1",
     "waveform_pairs pairs, flattened: for each window of window_samples samples, its lowest and its highest "
     "sample in the order they occur in the window (so not always min before max); float files and files of more "
     "than two channels can go beyond full scale"},
    {"intensity", "unitless, 0 to 1.5",
     "one value per point, the i-th from the intensity_frame_samples samples starting at sample i x "
     "samples_per_point (Hann window): the levels of a low (below 250 Hz), a middle (250 to 1500 Hz) and a high "
     "band (1500 Hz and up), weighted 1.8, 0.7 and 1.2 and raised to the 4th power, are scaled so that the "
     "strongest is 1; the value is half their sum: 0.5 when one band is alone, up to 1.5 when all three are even. "
     "It tells how the energy spreads over the bands, not how loud it is. 0 for silence and for the points from "
     "intensity_computed on, whose frame would run past the end"},
    {"decoder", "", "the decoder that read the file: libsndfile, own WAV/AIFF decoder or platform (FFmpeg)"},
    {"sample_rate", "Hz", "samples per second of the file"},
    {"samples", "samples", "length of the mono series analysed"},
    {"samples_per_point", "samples", "k: the length divided by 30000, rounded up, at least 1"},
    {"points", "points", "q: samples / samples_per_point, rounded down; the length of intensity"},
    {"waveform_pairs", "pairs", "points / 2, rounded down (none when points is 1)"},
    {"window_samples", "samples", "the samples each waveform pair covers: 2 x samples_per_point"},
    {"intensity_frame_samples", "samples", "the samples each intensity value comes from"},
    {"intensity_computed", "points", "the points with a whole frame inside the series; those after are 0"},
    {"mono_mix", "", "how the decoder made the one channel analysed from the file's channels"},
};

void printJson(const WaveformSeries& series, const Shape& shape, const Decoder& decoder, double sampleRate) {
    std::printf("{\"duration\":%.9g,\"waveform\":%s,\"intensity\":%s", static_cast<double>(series.duration),
                numbers(series.waveform, static_cast<std::size_t>(2 * shape.pairs)).c_str(),
                numbers(series.intensity, static_cast<std::size_t>(shape.q)).c_str());
    std::printf(",\"decoder\":\"%s\",\"sample_rate\":%.9g,\"samples\":%lld,\"samples_per_point\":%lld,"
                "\"points\":%lld,\"waveform_pairs\":%lld,\"window_samples\":%lld,\"intensity_frame_samples\":%d,"
                "\"intensity_computed\":%lld,\"mono_mix\":\"%s\",\"fields\":{",
                decoder.name, sampleRate, static_cast<long long>(shape.samples), static_cast<long long>(shape.k),
                static_cast<long long>(shape.q), static_cast<long long>(shape.pairs),
                static_cast<long long>(2 * shape.k), WaveformAnalyzer::kFrameSize,
                static_cast<long long>(shape.computed), decoder.monoMix);
    const char* separator = "";
    for (const Field& field : kFields) {
        std::printf("%s\"%s\":{\"unit\":\"%s\",\"meaning\":\"%s\"}", separator, field.key, field.unit, field.meaning);
        separator = ",";
    }
    std::printf("}}\n");
}

// The "duration:" line keeps its form: package checks read it.
void printSummary(const WaveformAnalysis& analysis, const Shape& shape, const Decoder& decoder, double milliseconds) {
    const std::string how = analysis.ranges > 1 ? "analysed while decoding, " + std::to_string(analysis.ranges) +
                                                      " ranges at once"
                                                : "analysed while decoding";
    char intensity[160];
    if (shape.q == 0) {
        std::snprintf(intensity, sizeof intensity, "none");
    } else if (shape.computed == 0) {
        std::snprintf(intensity, sizeof intensity, "all 0: fewer than 513 points");
    } else if (shape.computed < shape.q) {
        std::snprintf(intensity, sizeof intensity, "one every %lld samples; the last %lld are 0, too near the end",
                      static_cast<long long>(shape.k), static_cast<long long>(shape.q - shape.computed));
    } else {
        std::snprintf(intensity, sizeof intensity, "one every %lld samples", static_cast<long long>(shape.k));
    }
    std::printf("decoder:     %s\n"
                "sample rate: %.0f Hz\n"
                "samples:     %lld\n"
                "waveform:    %lld pairs (lowest and highest sample of each %lld-sample window)\n"
                "intensity:   %lld points (%s)\n"
                "duration:    %.3f s\n"
                "time:        %.1f ms (%s)\n",
                decoder.name, analysis.sampleRate, static_cast<long long>(shape.samples),
                static_cast<long long>(shape.pairs), static_cast<long long>(2 * shape.k),
                static_cast<long long>(shape.q), intensity, static_cast<double>(analysis.series->duration),
                milliseconds, how.c_str());
}

int drawPng(const Options& options, const WaveformAnalysis& analysis, const Shape& shape) {
    const int width =
        options.width > 0 ? options.width : static_cast<int>(std::clamp<std::int64_t>(shape.pairs, 1, 2000));
    const double seconds =
        analysis.sampleRate > 0 ? static_cast<double>(2 * shape.pairs * shape.k) / analysis.sampleRate : 0.0;
    try {
        WaveformImage image(width, options.height + WaveformImage::kFooterHeight);
        image.draw(analysis.series->waveform, analysis.series->intensity, shape.q, seconds);
        std::string error;
        if (!image.writePng(options.png, error)) {
            std::fprintf(stderr, "%s: %s: cannot write the PNG (%s)\n", kProgram, options.png.c_str(),
                         error.c_str());
            return kFailure;
        }
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: not enough memory for a %dx%d image\n", kProgram, width, options.height);
        return kFailure;
    }
    return kSuccess;
}

// Output that did not reach standard output (a full disk, a closed pipe) is
// a failure, not a success.
int flushOutput(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: write error on standard output: %s\n", kProgram, std::strerror(errno));
        return kFailure;
    }
    return status;
}

}  // namespace

int main(int argc, char* argv[]) {
    const Parsed parsed = parse(argc, argv);
    if (parsed.exit) return flushOutput(*parsed.exit);
    const Options& options = parsed.options;
    if (const std::optional<int> refused = refuseUnreadable(options.file)) return *refused;

    const std::unique_ptr<WaveformAnalyzer> made = makeLinuxAnalyzer();
    if (!made) {
        std::fprintf(stderr, "%s: not enough memory for the decoders\n", kProgram);
        return kFailure;
    }
    const auto started = std::chrono::steady_clock::now();
    DecoderMessages messages(options.verbose);
    const WaveformAnalysis analysis = made->analyze_file(options.file.c_str(), options.start, options.length);
    messages.end();
    const auto done = std::chrono::steady_clock::now();
    if (!analysis.series) {
        std::fprintf(stderr, "%s: %s: not an audio file this tool can read%s%s%s\n", kProgram, options.file.c_str(),
                     analysis.unsupportedFormat.empty() ? "" : " (unsupported format ",
                     analysis.unsupportedFormat.c_str(), analysis.unsupportedFormat.empty() ? "" : ")");
        return kNotAudio;
    }

    const Shape shape = shapeOf(analysis.series->count);
    const Decoder decoder = describe(analysis.decoder);
    if (options.json) {
        printJson(*analysis.series, shape, decoder, analysis.sampleRate);
    } else {
        printSummary(analysis, shape, decoder, std::chrono::duration<double, std::milli>(done - started).count());
    }
    if (options.fractions && analysis.decoder != waveform::Decoder::Ffmpeg) {
        std::fprintf(stderr,
                     "%s: note: %s reads the whole file, as in the server: --start and --length apply to FFmpeg "
                     "only\n",
                     kProgram, decoder.name);
    }
    const int status = options.png.empty() ? kSuccess : drawPng(options, analysis, shape);
    return flushOutput(status);
}

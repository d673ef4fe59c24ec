// corvilane-waveform: runs the server's audio loading and both analyses on a
// file and shows what the tablet will draw. `corvilane-waveform --help` tells
// how it is used.
#include "Console.h"
#include "LinuxAnalyzer.h"
#include "WaveformAnalyzer.h"
#include "WaveformImage.h"
#include "WaveformToolOptions.h"

#include <fcntl.h>
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

namespace {

constexpr const char* kProgram = "corvilane-waveform";

// Exit statuses, as --help lists them.
enum Status : int {
    kSuccess = 0,
    kFailure = 1,     // anything else: the PNG cannot be written, no memory, standard output lost
    kUsage = 2,       // the command line is wrong (WaveformToolOptions)
    kNoSuchFile = 3,  // nothing at FILE's path
    kUnreadable = 4,  // FILE is there but cannot be read (permissions, a directory, a device)
    kNotAudio = 5,    // FILE reads, but no decoder makes audio of it
};

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

int drawPng(const WaveformToolOptions& options, const WaveformAnalysis& analysis, const Shape& shape) {
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
    const WaveformToolOptions options = WaveformToolOptions::parse(argc, argv);
    switch (options.mode) {
        case WaveformToolOptions::Mode::Help:
            std::fputs(WaveformToolOptions::usage().c_str(), stdout);
            return flushOutput(kSuccess);
        case WaveformToolOptions::Mode::Version:
            std::fputs(WaveformToolOptions::version().c_str(), stdout);
            return flushOutput(kSuccess);
        case WaveformToolOptions::Mode::Error:
            if (!options.error.empty()) std::fprintf(stderr, "%s\n", options.error.c_str());
            std::fprintf(stderr, "%s\n", WaveformToolOptions::hint().c_str());
            return flushOutput(kUsage);
        case WaveformToolOptions::Mode::Run:
            break;
    }
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

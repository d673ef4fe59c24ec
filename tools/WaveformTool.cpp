// corvilane-waveform: runs the server's audio loading and both analyses on a
// file and shows what the tablet will draw.
//   corvilane-waveform FILE [--start F] [--length F] [--json] [--png OUT.png] [--size WxH]
#include "Console.h"
#include "LinuxAudio.h"
#include "WaveformAnalyzer.h"
#include "WaveformImage.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

struct Options {
    std::string file;
    float start = 0.0f;
    float length = 1.0f;
    bool json = false;
    bool fractions = false;  // --start or --length given
    std::string png;
    int width = 0;  // 0: one column per pair, at most 2000
    int height = 240;
};

struct Series {
    std::vector<float> values;
    float duration = 0;
};

int usage() {
    std::fprintf(stderr,
                 "usage: corvilane-waveform FILE [--start F] [--length F] [--json] [--png OUT.png] [--size WxH]\n");
    return 2;
}

bool parse(int argc, char* argv[], Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--start" && hasValue) {
            options.start = std::stof(argv[++i]);
            options.fractions = true;
        } else if (argument == "--length" && hasValue) {
            options.length = std::stof(argv[++i]);
            options.fractions = true;
        } else if (argument == "--json") {
            options.json = true;
        } else if (argument == "--png" && hasValue) {
            options.png = argv[++i];
        } else if (argument == "--size" && hasValue) {
            if (std::sscanf(argv[++i], "%dx%d", &options.width, &options.height) != 2 || options.width < 1 ||
                options.height < 1 || options.width > 20000 || options.height > 20000) {
                return false;
            }
        } else if (options.file.empty() && argument.rfind("--", 0) != 0) {
            options.file = argument;
        } else {
            return false;
        }
    }
    return !options.file.empty();
}

void printJson(const Series& wave, const Series& intensity, std::int64_t q) {
    auto list = [](const std::vector<float>& values, std::size_t count) {
        std::string text = "[";
        for (std::size_t i = 0; i < count && i < values.size(); ++i) {
            char number[32];
            std::snprintf(number, sizeof number, "%s%.9g", i > 0 ? "," : "", static_cast<double>(values[i]));
            text += number;
        }
        return text + "]";
    };
    const auto points = static_cast<std::size_t>(q);
    std::printf("{\"duration\":%.9g,\"waveform\":%s,\"intensity\":%s}\n", static_cast<double>(wave.duration),
                list(wave.values, points / 2 * 2).c_str(), list(intensity.values, points).c_str());
}

}  // namespace

int main(int argc, char* argv[]) {
    Options options;
    try {
        if (!parse(argc, argv, options)) return usage();
    } catch (const std::exception&) {
        return usage();
    }
    // The decoders' own lines are kept out of the JSON: they go to standard error.
    std::optional<Console::Capture> decoderLines;
    if (options.json) decoderLines.emplace();
    const std::unique_ptr<WaveformAnalyzer> made = makeLinuxAnalyzer();
    if (!made) {
        std::fprintf(stderr, "no audio decoding on this platform\n");
        return 1;
    }
    WaveformAnalyzer& analyzer = *made;
    const auto started = std::chrono::steady_clock::now();
    const WaveformAnalysis analysis = analyzer.analyze_file(options.file.c_str(), options.start, options.length);
    if (decoderLines) std::fputs(decoderLines->text().c_str(), stderr);
    decoderLines.reset();
    const std::optional<WaveformSeries>& analysed = analysis.series;
    if (!analysed) {
        std::fprintf(stderr, "%s: no audio data found%s%s\n", options.file.c_str(),
                     analysis.unsupportedFormat.empty() ? "" : ", unsupported format ",
                     analysis.unsupportedFormat.c_str());
        return 1;
    }
    const auto done = std::chrono::steady_clock::now();
    const std::int64_t count = analysed->count;
    const Series wave{analysed->waveform, analysed->duration};
    const Series intensity{analysed->intensity, analysed->duration};
    const WaveformAnalyzer::Points points = WaveformAnalyzer::pointsFor(count);
    if (options.json) {
        printJson(wave, intensity, points.q);
    } else {
        auto ms = [](auto span) { return std::chrono::duration<double, std::milli>(span).count(); };
        const std::string how = analysis.ranges > 1 ? "analysed while decoding, " +
                                                          std::to_string(analysis.ranges) + " ranges at once"
                                                    : "analysed while decoding";
        std::printf("decoder:     %s\nsample rate: %.0f Hz\nsamples:     %lld\nk:           %lld\nq:           %lld\n"
                    "duration:    %.3f s\ntime:        %.1f ms (%s)\n",
                    analysis.decoder.c_str(), analysis.sampleRate, static_cast<long long>(count),
                    static_cast<long long>(points.k), static_cast<long long>(points.q),
                    static_cast<double>(wave.duration), ms(done - started), how.c_str());
    }
    if (options.fractions && analysis.decoder != "platform") {
        std::fprintf(stderr, "note: the %s decoder reads the whole file, as the server does: --start and --length "
                             "apply to the platform reader only\n", analysis.decoder.c_str());
    }
    if (!options.png.empty()) {
        const std::int64_t pairs = points.q > 1 ? points.q / 2 : 0;
        const int width =
            options.width > 0 ? options.width : static_cast<int>(std::clamp<std::int64_t>(pairs, 1, 2000));
        WaveformImage image(width, options.height + WaveformImage::kAxisHeight);
        const double seconds = analysis.sampleRate > 0
                                   ? static_cast<double>(2 * pairs * points.k) / analysis.sampleRate
                                   : 0.0;
        image.draw(wave.values, intensity.values, points.q, seconds);
        if (!image.writePng(options.png)) {
            std::fprintf(stderr, "cannot write %s\n", options.png.c_str());
            return 1;
        }
    }
    return 0;
}

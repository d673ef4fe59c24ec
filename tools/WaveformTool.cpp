// corvilane-waveform: runs the server's audio loading and both analyses on a
// file and shows what the tablet will draw.
//   corvilane-waveform FILE [--start F] [--length F] [--json] [--png OUT.png]
#include "LinuxPlatform.h"
#include "WaveformAnalyzer.h"

#include <png.h>

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
    std::string png;
};

struct Series {
    std::vector<float> values;
    float duration = 0;
};

int usage() {
    std::fprintf(stderr, "usage: corvilane-waveform FILE [--start F] [--length F] [--json] [--png OUT.png]\n");
    return 2;
}

bool parse(int argc, char* argv[], Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--start" && hasValue) {
            options.start = std::stof(argv[++i]);
        } else if (argument == "--length" && hasValue) {
            options.length = std::stof(argv[++i]);
        } else if (argument == "--json") {
            options.json = true;
        } else if (argument == "--png" && hasValue) {
            options.png = argv[++i];
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

// Blue (quiet spectrum) through green and yellow to red (loud, bright).
void colourFor(float intensity, png_byte* pixel) {
    const float t = std::clamp(intensity / 1.5f, 0.0f, 1.0f);
    pixel[0] = static_cast<png_byte>(255 * std::clamp(2 * t - 0.5f, 0.0f, 1.0f));
    pixel[1] = static_cast<png_byte>(255 * (1 - std::abs(2 * t - 1)));
    pixel[2] = static_cast<png_byte>(255 * std::clamp(1 - 2 * t, 0.0f, 1.0f));
}

bool writePng(const std::string& path, const Series& wave, const Series& intensity, std::int64_t q) {
    const std::size_t pairs = static_cast<std::size_t>(q) / 2;
    const int width = static_cast<int>(std::max<std::size_t>(1, std::min<std::size_t>(pairs, 2000)));
    const int height = 240;
    std::vector<png_byte> image(static_cast<std::size_t>(width * height * 3), 24);
    for (int x = 0; x < width && pairs > 0; ++x) {
        const std::size_t pair = static_cast<std::size_t>(x) * pairs / static_cast<std::size_t>(width);
        const float a = wave.values[2 * pair];
        const float b = wave.values[2 * pair + 1];
        const float level = 0.5f * (intensity.values[2 * pair] + intensity.values[2 * pair + 1]);
        auto row = [&](float sample) { return std::clamp(static_cast<int>((1 - sample) * 0.5f * (height - 1)), 0, height - 1); };
        for (int y = row(std::max(a, b)); y <= row(std::min(a, b)); ++y) {
            colourFor(level, &image[static_cast<std::size_t>((y * width + x) * 3)]);
        }
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!file) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (png == nullptr || info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y) png_write_row(png, &image[static_cast<std::size_t>(y * width * 3)]);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    Options options;
    try {
        if (!parse(argc, argv, options)) return usage();
    } catch (const std::exception&) {
        return usage();
    }
    std::FILE* console = stdout;
    if (options.json) stdout = stderr;  // keep the decoders' own lines out of the JSON
    const std::unique_ptr<WaveformAnalyzer> made = LinuxPlatform::instance().makeAnalyzer();
    if (!made) {
        std::fprintf(stderr, "no audio decoding on this platform\n");
        return 1;
    }
    WaveformAnalyzer& analyzer = *made;
    const auto started = std::chrono::steady_clock::now();
    const std::optional<WaveformSeries> analysed =
        analyzer.analyze_file(options.file.c_str(), options.start, options.length);
    if (!analysed) {
        std::fprintf(stderr, "%s: no audio data found%s%s\n", options.file.c_str(),
                     analyzer.unsupported_format.empty() ? "" : ", unsupported format ",
                     analyzer.unsupported_format.c_str());
        return 1;
    }
    const auto done = std::chrono::steady_clock::now();
    const std::int64_t count = analysed->count;
    const Series wave{analysed->waveform, analysed->duration};
    const Series intensity{analysed->intensity, analysed->duration};
    stdout = console;
    const WaveformAnalyzer::Points points = WaveformAnalyzer::pointsFor(count);
    if (options.json) {
        printJson(wave, intensity, points.q);
    } else {
        auto ms = [](auto span) { return std::chrono::duration<double, std::milli>(span).count(); };
        std::printf("decoder:     %s\nsample rate: %.0f Hz\nsamples:     %lld\nk:           %lld\nq:           %lld\n"
                    "duration:    %.3f s\ntime:        %.1f ms (%s)\n",
                    analyzer.decoder().c_str(), analyzer.sample_rate, static_cast<long long>(count),
                    static_cast<long long>(points.k), static_cast<long long>(points.q),
                    static_cast<double>(wave.duration), ms(done - started),
                    analyzer.streamed() ? "analysed while decoding" : "loaded whole, then analysed");
    }
    if (!options.png.empty() && !writePng(options.png, wave, intensity, points.q)) {
        std::fprintf(stderr, "cannot write %s\n", options.png.c_str());
        return 1;
    }
    return 0;
}

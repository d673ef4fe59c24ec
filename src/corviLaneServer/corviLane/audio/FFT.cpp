#include "FFT.h"

#include "Logger.h"
#include "RegularFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

// FFTW's wisdom for one plan is a few hundred bytes; a file far larger than
// any wisdom is not read.
constexpr std::size_t kMaxWisdomSize = 1 << 20;
constexpr const char* kSystemWisdom = "/etc/fftw/wisdomf";

// Where the measured plan is kept between processes: a measured plan costs
// about 75 ms to make and transforms a third faster than an estimated one,
// so it is measured once per user and machine and read back afterwards.
std::string wisdomPath() {
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache != nullptr && cache[0] == '/') {
        return std::string(cache) + "/corvilane/fftw-wisdom";
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        return std::string(home) + "/.cache/corvilane/fftw-wisdom";
    }
    return {};
}

// A warning in the log when there is one (a program without a log, such as
// corvilane-waveform, stays quiet).
__attribute__((format(printf, 1, 2))) void warn(const char* format, ...) {
    va_list args;
    va_start(args, format);
    CLogger::log(CLogger::kWarn, format, args);
    va_end(args);
}

// Reads wisdom as the settings file is read: only a regular file of sane
// size, opened without waiting, so that a FIFO or a device in its place
// never holds the start. A missing file is the usual case and goes
// unmentioned; any other file not read is said once.
void importWisdom(const std::string& path) {
    const RegularFile file = RegularFile::open(path);
    if (!file.isOpen()) {
        if (!file.missing()) warn("FFT wisdom %s not read: %s", path.c_str(), file.error().c_str());
        return;
    }
    std::vector<std::uint8_t> bytes;
    if (!file.readAll(bytes, kMaxWisdomSize)) {
        warn("FFT wisdom %s not read: larger than %zu bytes, or unreadable", path.c_str(), kMaxWisdomSize);
        return;
    }
    const std::string text(bytes.begin(), bytes.end());
    if (fftwf_import_wisdom_from_string(text.c_str()) == 0) warn("FFT wisdom %s not read: not wisdom", path.c_str());
}

struct FftwString {
    void operator()(char* text) const { std::free(text); }
};

// Written to a new file beside it and renamed into place, so that a
// process reading it never sees half a file; the new file is made afresh
// (never through a link or into something already there). A failure only
// means the next process measures again.
void keepWisdom(const std::string& path) {
    const std::unique_ptr<char, FftwString> text(fftwf_export_wisdom_to_string());
    if (!text) return;
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    const std::string aside = path + "." + std::to_string(getpid());
    const int descriptor = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (descriptor < 0) return;
    const std::size_t length = std::strlen(text.get());
    std::size_t written = 0;
    while (written < length) {
        const ssize_t done = ::write(descriptor, text.get() + written, length - written);
        if (done <= 0) break;
        written += static_cast<std::size_t>(done);
    }
    const bool closed = ::close(descriptor) == 0;
    std::error_code renamed;
    if (written == length && closed) std::filesystem::rename(aside, path, renamed);
    if (written != length || !closed || renamed) std::filesystem::remove(aside, ignored);
}

struct FftwFree {
    void operator()(void* memory) const { fftwf_free(memory); }
};

// The one plan of the process, made on first use (FFTW's planner is not
// thread-safe; a function-local static is made exactly once). Executing it
// on other arrays of the same layout and alignment is thread-safe. Never
// destroyed: it serves until the process ends.
fftwf_plan processPlan() {
    static const fftwf_plan plan = [] {
        const std::unique_ptr<float[], FftwFree> frame(static_cast<float*>(fftwf_malloc(sizeof(float) * FFT::size)));
        const std::unique_ptr<fftwf_complex[], FftwFree> spectrum(
            static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * (FFT::half_size + 1))));
        if (!frame || !spectrum) return fftwf_plan{};
        importWisdom(kSystemWisdom);
        const std::string path = wisdomPath();
        if (!path.empty()) importWisdom(path);
        fftwf_plan made =
            fftwf_plan_dft_r2c_1d(FFT::size, frame.get(), spectrum.get(), FFTW_MEASURE | FFTW_WISDOM_ONLY);
        if (made == nullptr) {
            made = fftwf_plan_dft_r2c_1d(FFT::size, frame.get(), spectrum.get(), FFTW_MEASURE);
            if (made != nullptr && !path.empty()) keepWisdom(path);
        }
        return made;
    }();
    return plan;
}

}  // namespace

FFT::FFT() : m_Setup(processPlan()) {
    if (m_Setup == nullptr) throw std::bad_alloc();
}

FFT::~FFT() = default;

void FFT::transform(const float* samples, fftwf_complex* sums) const {
    // Same layout and alignment as the arrays the plan was made on, which is
    // what executing the plan on other arrays requires.
    alignas(64) float frame[size];
    for (std::size_t i = 0; i < m_Window.size(); ++i) frame[i] = samples[i] * m_Window[i];
    fftwf_execute_dft_r2c(m_Setup, frame, sums);
}

PackedSpectrum FFT::spectrum(const float* samples) const {
    alignas(64) fftwf_complex sums[half_size + 1];
    transform(samples, sums);
    // FFTW gives the plain Fourier sums of bins 0-256; the packed layout holds
    // twice those, with the (real) half-sample-rate term in entry 0's imaginary part.
    PackedSpectrum packed;
    packed.real[0] = 2.0f * sums[0][0];
    packed.imag[0] = 2.0f * sums[half_size][0];
    for (std::size_t bin = 1; bin < half_size; ++bin) {
        packed.real[bin] = 2.0f * sums[bin][0];
        packed.imag[bin] = 2.0f * sums[bin][1];
    }
    return packed;
}

void FFT::intensities(const float* samples, std::int64_t step, std::int64_t count, double sample_rate,
                      float* out) const {
    constexpr int kGroup = kFourierSumsGroup;
    // Each frame's sums start 64-byte aligned, as the plan's arrays did.
    constexpr int kRow = (half_size + 1 + 7) / 8 * 8;
    alignas(64) fftwf_complex sums[kGroup][kRow];
    const float* group[kGroup];
    for (int p = 0; p < kGroup; ++p) group[p] = &sums[p][0][0];
    for (std::int64_t done = 0; done < count; done += kGroup) {
        const int frames = static_cast<int>(std::min<std::int64_t>(kGroup, count - done));
        for (int p = 0; p < frames; ++p) transform(samples + (done + p) * step, sums[p]);
        BandColor colors[kGroup];
        colors_of_fourier_sums(group, frames, sample_rate, colors);
        for (int p = 0; p < frames; ++p) out[done + p] = intensity_of_color(colors[p]);
    }
}

BandColor FFT::color(const float* samples, double sample_rate) const {
    alignas(64) fftwf_complex sums[half_size + 1];
    transform(samples, sums);
    return color_of_fourier_sums(&sums[0][0], sample_rate);
}

#include "WaveformImage.h"

#include <png.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

namespace {

constexpr std::uint8_t kBackground = 24;
constexpr std::uint8_t kAxisGrey = 140;
constexpr std::uint8_t kTextGrey = 215;

// The footer's rows, from its top: the axis line, the ticks below it, the
// time labels, the legend.
constexpr int kTickLength = 5;
constexpr int kLabelTop = 8;
constexpr int kLegendTop = 29;
// Footer text: glyphs of 5 × 7 dots drawn 2 × 2 pixels a dot, 14 pixels
// high; a character takes 6 dots across with its gap.
constexpr int kTextScale = 2;
constexpr int kGlyphRows = 7;
constexpr int kAdvance = 6;

// The characters the footer writes, each as 7 rows of 5 dots (bit 4 the
// leftmost). Any other character is drawn as a blank.
constexpr std::string_view kCharacters = "0123456789:.,()-abcdehilnostvy";
constexpr std::uint8_t kGlyphs[][kGlyphRows] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E},  // 0
    {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},  // 1
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F},  // 2
    {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},  // 3
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02},  // 4
    {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},  // 5
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E},  // 6
    {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},  // 7
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E},  // 8
    {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},  // 9
    {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00},  // :
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C},  // .
    {0x00, 0x00, 0x00, 0x00, 0x0C, 0x04, 0x08},  // ,
    {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02},  // (
    {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08},  // )
    {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00},  // -
    {0x00, 0x00, 0x0E, 0x01, 0x0F, 0x11, 0x0F},  // a
    {0x10, 0x10, 0x16, 0x19, 0x11, 0x11, 0x1E},  // b
    {0x00, 0x00, 0x0E, 0x10, 0x10, 0x11, 0x0E},  // c
    {0x01, 0x01, 0x0D, 0x13, 0x11, 0x11, 0x0F},  // d
    {0x00, 0x00, 0x0E, 0x11, 0x1F, 0x10, 0x0E},  // e
    {0x10, 0x10, 0x16, 0x19, 0x11, 0x11, 0x11},  // h
    {0x04, 0x00, 0x0C, 0x04, 0x04, 0x04, 0x0E},  // i
    {0x0C, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E},  // l
    {0x00, 0x00, 0x16, 0x19, 0x11, 0x11, 0x11},  // n
    {0x00, 0x00, 0x0E, 0x11, 0x11, 0x11, 0x0E},  // o
    {0x00, 0x00, 0x0E, 0x10, 0x0E, 0x01, 0x1E},  // s
    {0x08, 0x08, 0x1C, 0x08, 0x08, 0x09, 0x06},  // t
    {0x00, 0x00, 0x11, 0x11, 0x11, 0x0A, 0x04},  // v
    {0x00, 0x00, 0x11, 0x11, 0x0F, 0x01, 0x0E},  // y
};
static_assert(std::size(kGlyphs) == kCharacters.size(), "one glyph per character");

int textWidth(std::string_view text) { return static_cast<int>(text.size()) * kAdvance * kTextScale; }

// The intensity that the top of the colour scale stands for.
constexpr float kTopIntensity = 1.5f;

// Blue (one band alone, or silence) through green and yellow to red (energy
// spread evenly over the bands).
void colourFor(float intensity, std::uint8_t* pixel) {
    const float t = std::clamp(intensity / kTopIntensity, 0.0f, 1.0f);
    pixel[0] = static_cast<std::uint8_t>(255 * std::clamp(2 * t - 0.5f, 0.0f, 1.0f));
    pixel[1] = static_cast<std::uint8_t>(255 * (1 - std::abs(2 * t - 1)));
    pixel[2] = static_cast<std::uint8_t>(255 * std::clamp(1 - 2 * t, 0.0f, 1.0f));
}

// The decimals a label needs for ticks `step` seconds apart.
int decimalsFor(double step) {
    if (step >= 1) return 0;
    if (step >= 0.1 - 1e-9) return 1;
    if (step >= 0.01 - 1e-9) return 2;
    return 3;
}

// "minutes:seconds", with the decimals of a second asked for.
std::string timeLabel(double seconds, int decimals) {
    const long long thousandths = std::llround(seconds * 1000);
    const long long whole = thousandths / 1000;
    char text[48];
    std::snprintf(text, sizeof text, "%lld:%02lld.%03lld", whole / 60, whole % 60, thousandths % 1000);
    std::string label = text;
    // The three decimals written, cut to those asked for (with the point when none are).
    return label.substr(0, label.size() - static_cast<std::size_t>(3 - decimals) - (decimals == 0 ? 1 : 0));
}

// The shortest of the usual steps whose ticks lie far enough apart for the
// longest label between them.
double tickStep(double seconds, int width) {
    static const double kSteps[] = {0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5,  1,    2,    5,
                                    10,    15,    30,    60,   120,  300,  600, 900, 1800, 3600, 7200, 18000};
    for (const double step : kSteps) {
        const int room = textWidth(timeLabel(seconds, decimalsFor(step))) + 24;
        if (step / seconds * width >= room) return step;
    }
    return seconds;
}

// Keeps libpng's reason for giving up.
struct PngError {
    char message[160] = "";
};

void onPngError(png_structp png, png_const_charp message) {
    auto* error = static_cast<PngError*>(png_get_error_ptr(png));
    std::snprintf(error->message, sizeof error->message, "%s", message);
    png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

}  // namespace

WaveformImage::WaveformImage(int width, int height)
    : m_Width(std::max(1, width)),
      m_Height(std::max(kFooterHeight + 1, height)),
      m_Pixels(static_cast<std::size_t>(m_Width) * static_cast<std::size_t>(m_Height) * 3, kBackground) {}

void WaveformImage::draw(const std::vector<float>& wave, const std::vector<float>& intensity, std::int64_t q,
                         double seconds) {
    const std::int64_t pairs = std::min<std::int64_t>(q > 1 ? q / 2 : 0, static_cast<std::int64_t>(wave.size()) / 2);
    const auto points = static_cast<std::int64_t>(intensity.size());
    for (int x = 0; x < m_Width && pairs > 0; ++x) {
        const std::int64_t first = x * pairs / m_Width;
        const std::int64_t last = std::max(first + 1, (x + 1) * pairs / m_Width);
        float low = std::numeric_limits<float>::max();
        float high = std::numeric_limits<float>::lowest();
        float level = 0.0f;
        for (std::int64_t p = first; p < last; ++p) {
            const auto at = static_cast<std::size_t>(2 * p);
            low = std::min({low, wave[at], wave[at + 1]});
            high = std::max({high, wave[at], wave[at + 1]});
            for (std::size_t i = at; i < at + 2 && static_cast<std::int64_t>(i) < points; ++i) {
                level = std::max(level, intensity[i]);
            }
        }
        drawColumn(x, low, high, level);
    }
    drawAxis(seconds);
    drawLegend();
}

void WaveformImage::drawColumn(int x, float low, float high, float level) {
    const int rows = m_Height - kFooterHeight;
    auto row = [rows](float sample) {
        return std::clamp(static_cast<int>(std::lround((1.0f - sample) * 0.5f * static_cast<float>(rows - 1))), 0,
                          rows - 1);
    };
    for (int y = row(high); y <= row(low); ++y) colourFor(level, at(x, y));
}

// A tick at every step, labelled below with its time, centred on it where the
// image leaves room; a label that would run past the right edge is left out.
void WaveformImage::drawAxis(double seconds) {
    const int top = m_Height - kFooterHeight;
    for (int x = 0; x < m_Width; ++x) std::fill_n(at(x, top), 3, kAxisGrey);
    if (!(seconds > 0) || !std::isfinite(seconds)) return;
    const double step = tickStep(seconds, m_Width);
    const int decimals = decimalsFor(step);
    for (int tick = 0;; ++tick) {
        const double t = tick * step;
        const auto x = static_cast<int>(std::lround(t / seconds * m_Width));
        if (x >= m_Width) break;
        for (int y = top + 1; y <= top + kTickLength; ++y) std::fill_n(at(x, y), 3, kAxisGrey);
        const std::string label = timeLabel(t, decimals);
        const int left = std::max(2, x - textWidth(label) / 2);
        if (left + textWidth(label) <= m_Width) drawText(left, top + kLabelTop, label, kTextScale, kTextGrey);
    }
}

// "intensity 0 [the colour scale] 1.5", then what the values mean where the
// image is wide enough for all of it.
void WaveformImage::drawLegend() {
    const int top = m_Height - kFooterHeight + kLegendTop;
    int x = drawText(4, top, "intensity", kTextScale, kTextGrey) + 10;
    x = drawText(x, top, "0", kTextScale, kTextGrey) + 6;
    const int ramp = std::clamp(m_Width / 5, 48, 180);
    for (int i = 0; i < ramp && x + i < m_Width; ++i) {
        std::uint8_t colour[3];
        colourFor(kTopIntensity * static_cast<float>(i) / static_cast<float>(ramp - 1), colour);
        for (int y = top; y < top + kGlyphRows * kTextScale; ++y) std::copy_n(colour, 3, at(x + i, y));
    }
    x = drawText(x + ramp + 6, top, "1.5", kTextScale, kTextGrey) + 24;
    const std::string meaning = "0 silence, 0.5 one band alone, 1.5 all bands even";
    if (x + textWidth(meaning) <= m_Width) drawText(x, top, meaning, kTextScale, kTextGrey);
}

int WaveformImage::drawText(int x, int y, const std::string& text, int scale, std::uint8_t grey) {
    for (const char c : text) {
        const std::size_t glyph = kCharacters.find(c);
        for (int row = 0; row < kGlyphRows && glyph != std::string_view::npos; ++row) {
            for (int column = 0; column < 5; ++column) {
                if (((kGlyphs[glyph][row] >> (4 - column)) & 1) == 0) continue;
                for (int dy = 0; dy < scale; ++dy) {
                    for (int dx = 0; dx < scale; ++dx) {
                        const int px = x + column * scale + dx;
                        const int py = y + row * scale + dy;
                        if (px >= 0 && px < m_Width && py >= 0 && py < m_Height) std::fill_n(at(px, py), 3, grey);
                    }
                }
            }
        }
        x += kAdvance * scale;
    }
    return x;
}

bool WaveformImage::writeRows(std::FILE* file, std::string& error) const {
    PngError failure;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &failure, onPngError, onPngWarning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (png == nullptr || info == nullptr) {
        png_destroy_write_struct(&png, &info);
        error = "no memory for libpng";
        return false;
    }
    // Nothing with a destructor lives between here and libpng's jump back.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        error = failure.message;
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(m_Width), static_cast<png_uint_32>(m_Height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < m_Height; ++y) {
        png_write_row(png, &m_Pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(m_Width) * 3]);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

// The data reaches the file only when the stream is flushed and closed: a
// full disk shows there, and then the image is not written.
bool WaveformImage::writePng(const std::string& path, std::string& error) const {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = std::strerror(errno);
        return false;
    }
    errno = 0;
    bool written = writeRows(file, error);
    if (written && (std::fflush(file) != 0 || std::ferror(file) != 0)) {
        error = std::strerror(errno != 0 ? errno : EIO);
        written = false;
    } else if (!written && errno != 0) {
        error = std::strerror(errno);  // the system's reason is clearer than libpng's "Write Error"
    }
    // Only a regular file is removed when it could not be written whole; a
    // device or a pipe stays.
    struct stat info {};
    const bool regular = ::fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode);
    if (std::fclose(file) != 0 && written) {
        error = std::strerror(errno);
        written = false;
    }
    if (!written && regular) std::remove(path.c_str());
    return written;
}

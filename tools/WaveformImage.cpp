#include "WaveformImage.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

namespace {

constexpr std::uint8_t kBackground = 24;
constexpr std::uint8_t kAxisGrey = 140;

// Digits 0-9 and ':' in 3 × 5 pixels, one row of three bits per entry.
constexpr std::uint8_t kGlyphs[11][5] = {{7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7},
                                         {5, 5, 7, 1, 1}, {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1},
                                         {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7}, {0, 2, 0, 2, 0}};

// Blue (quiet spectrum) through green and yellow to red (loud, bright).
void colourFor(float intensity, std::uint8_t* pixel) {
    const float t = std::clamp(intensity / 1.5f, 0.0f, 1.0f);
    pixel[0] = static_cast<std::uint8_t>(255 * std::clamp(2 * t - 0.5f, 0.0f, 1.0f));
    pixel[1] = static_cast<std::uint8_t>(255 * (1 - std::abs(2 * t - 1)));
    pixel[2] = static_cast<std::uint8_t>(255 * std::clamp(1 - 2 * t, 0.0f, 1.0f));
}

// The shortest of the usual steps that leaves `minimum` pixels between ticks.
double tickStep(double seconds, int width, int minimum) {
    static const double kSteps[] = {0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5,  1,    2,    5,
                                    10,    15,    30,    60,   120,  300,  600, 900, 1800, 3600, 7200, 18000};
    for (const double step : kSteps) {
        if (step / seconds * width >= minimum) return step;
    }
    return seconds;
}

}  // namespace

WaveformImage::WaveformImage(int width, int height)
    : m_Width(std::max(1, width)),
      m_Height(std::max(kAxisHeight + 1, height)),
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
}

void WaveformImage::drawColumn(int x, float low, float high, float level) {
    const int rows = m_Height - kAxisHeight;
    auto row = [rows](float sample) {
        return std::clamp(static_cast<int>(std::lround((1.0f - sample) * 0.5f * static_cast<float>(rows - 1))), 0,
                          rows - 1);
    };
    for (int y = row(high); y <= row(low); ++y) colourFor(level, at(x, y));
}

void WaveformImage::drawAxis(double seconds) {
    const int top = m_Height - kAxisHeight;
    for (int x = 0; x < m_Width; ++x) std::fill_n(at(x, top), 3, kAxisGrey);
    if (!(seconds > 0) || !std::isfinite(seconds)) return;
    const double step = tickStep(seconds, m_Width, 60);
    for (int tick = 0;; ++tick) {
        const double t = tick * step;
        const auto x = static_cast<int>(std::lround(t / seconds * m_Width));
        if (x >= m_Width) break;
        for (int y = top + 1; y <= top + 3; ++y) std::fill_n(at(x, y), 3, kAxisGrey);
        // Whole seconds are labelled (minutes:seconds); finer ticks are not.
        if (step >= 1) drawLabel(x + 2, static_cast<int>(std::lround(t)));
    }
}

void WaveformImage::drawLabel(int x, int seconds) {
    char text[16];
    std::snprintf(text, sizeof text, "%d:%02d", seconds / 60, seconds % 60);
    const int top = m_Height - kAxisHeight + 5;
    for (const char* c = text; *c != '\0'; ++c, x += 4) {
        const int glyph = *c == ':' ? 10 : *c - '0';
        for (int row = 0; row < 5; ++row) {
            for (int column = 0; column < 3; ++column) {
                const bool lit = ((kGlyphs[glyph][row] >> (2 - column)) & 1) != 0;
                if (lit && x + column < m_Width) std::fill_n(at(x + column, top + row), 3, kAxisGrey);
            }
        }
    }
}

bool WaveformImage::writePng(const std::string& path) const {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!file) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (png == nullptr || info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file.get());
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

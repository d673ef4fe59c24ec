#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// A picture of what the tablet draws: the waveform coloured by intensity,
// above a footer that holds a time axis and the legend of the colours. Every
// column shows the extremes of every pair that falls in it, so a click
// shorter than a column still shows, and takes the colour of the loudest
// intensity point among them.
class WaveformImage {
public:
    // The footer below the waveform: the axis line and its ticks, a row of
    // time labels, a row with the colour legend.
    static constexpr int kFooterHeight = 46;

    // At least 1 × (kFooterHeight + 1) pixels.
    WaveformImage(int width, int height);

    // `wave` and `intensity` as the analyses give them for q points;
    // `seconds` is the time the pairs span (labels on the axis).
    void draw(const std::vector<float>& wave, const std::vector<float>& intensity, std::int64_t q, double seconds);

    int width() const { return m_Width; }
    int height() const { return m_Height; }
    // Rows of RGB pixels, top row first.
    const std::vector<std::uint8_t>& pixels() const { return m_Pixels; }
    // False, with the reason in `error`, when the file could not be written
    // whole; what was written of it is then removed.
    bool writePng(const std::string& path, std::string& error) const;

private:
    void drawColumn(int x, float low, float high, float level);
    void drawAxis(double seconds);
    void drawLegend();
    // Text in the footer's font, `scale` pixels a dot, its top left at (x, y),
    // cut at the image's edges. Returns the x after it.
    int drawText(int x, int y, const std::string& text, int scale, std::uint8_t grey);
    std::uint8_t* at(int x, int y) {
        const auto index = static_cast<std::size_t>(y) * static_cast<std::size_t>(m_Width) + static_cast<std::size_t>(x);
        return &m_Pixels[index * 3];
    }
    bool writeRows(std::FILE* file, std::string& error) const;

    int m_Width;
    int m_Height;
    std::vector<std::uint8_t> m_Pixels;
};

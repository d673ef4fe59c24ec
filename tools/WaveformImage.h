#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A picture of what the tablet draws: the waveform coloured by intensity,
// above a time axis. Every column shows the extremes of every pair that
// falls in it, so a click shorter than a column still shows, and takes the
// colour of the loudest intensity point among them.
class WaveformImage {
public:
    static constexpr int kAxisHeight = 12;

    // At least 1 × (kAxisHeight + 1) pixels.
    WaveformImage(int width, int height);

    // `wave` and `intensity` as the analyses give them for q points;
    // `seconds` is the time the pairs span (labels on the axis).
    void draw(const std::vector<float>& wave, const std::vector<float>& intensity, std::int64_t q, double seconds);

    int width() const { return m_Width; }
    int height() const { return m_Height; }
    // Rows of RGB pixels, top row first.
    const std::vector<std::uint8_t>& pixels() const { return m_Pixels; }
    bool writePng(const std::string& path) const;

private:
    void drawColumn(int x, float low, float high, float level);
    void drawAxis(double seconds);
    void drawLabel(int x, int seconds);
    std::uint8_t* at(int x, int y) { return &m_Pixels[static_cast<std::size_t>((y * m_Width + x) * 3)]; }

    int m_Width;
    int m_Height;
    std::vector<std::uint8_t> m_Pixels;
};

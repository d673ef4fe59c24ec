// The tool's picture: every pair of a column counts, and the time axis.
#include "WaveformImage.h"

#include <gtest/gtest.h>

namespace {

// Rows of column x whose pixel differs from the background.
int drawnRows(const WaveformImage& image, int x) {
    int rows = 0;
    for (int y = 0; y < image.height() - WaveformImage::kFooterHeight; ++y) {
        const std::uint8_t* pixel = &image.pixels()[static_cast<std::size_t>((y * image.width() + x) * 3)];
        rows += pixel[0] != 24 || pixel[1] != 24 || pixel[2] != 24 ? 1 : 0;
    }
    return rows;
}

TEST(WaveformImageTest, AShortClickShowsInItsColumnAndTheAxisHasTicks) {
    // 30000 points, 15000 pairs in 100 columns: a single loud pair among silence.
    std::vector<float> wave(30004, 0.0f);
    std::vector<float> intensity(30004, 0.0f);
    wave[2 * 7777] = 0.9f;
    wave[2 * 7777 + 1] = -0.9f;
    intensity[2 * 7777] = 1.5f;
    WaveformImage image(100, 101 + WaveformImage::kFooterHeight);
    image.draw(wave, intensity, 30000, 600.0);
    const int column = 7777 * 100 / 15000;
    EXPECT_GE(drawnRows(image, column), 90);
    EXPECT_EQ(drawnRows(image, column - 1), 1);
    EXPECT_EQ(drawnRows(image, column + 1), 1);
    // Ticks: the first at x = 0, below the axis line.
    const int tick = image.height() - WaveformImage::kFooterHeight + 2;
    EXPECT_NE(image.pixels()[static_cast<std::size_t>(tick * image.width() * 3)], 24);
}

}  // namespace

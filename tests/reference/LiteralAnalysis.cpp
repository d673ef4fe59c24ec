#include "LiteralAnalysis.h"

#include "LiteralColour.h"

#include <cmath>

namespace literal {

namespace {

struct Points {
    std::int64_t k;
    std::int64_t q;
};

Points points(std::int64_t length) {
    std::int64_t k = static_cast<std::int64_t>(std::ceil(static_cast<float>(length) / 30000.0f));
    if (k < 1) k = 1;
    return {k, length / static_cast<std::uint32_t>(k)};
}

std::size_t blobFloats(std::int64_t q) { return 4 * (static_cast<std::size_t>(q) / 4) + 4; }

}  // namespace

std::vector<float> analyze_wave(const float* samples, std::int64_t length) {
    const Points p = points(length);
    std::vector<float> blob(blobFloats(p.q), 0.0f);
    if (p.q <= 1) return blob;
    for (std::int64_t j = 0; 2 * j < p.q - 1; ++j) {
        const auto start = static_cast<std::uint32_t>(2 * p.k * j);
        float largest = samples[start];
        float smallest = samples[start];
        std::int64_t largestAt = 0;
        std::int64_t smallestAt = 0;
        for (std::int64_t i = 1; i < 2 * p.k; ++i) {
            const float value = samples[start + i];
            if (value > largest) {
                largest = value;
                largestAt = i;
            }
            if (value < smallest) {
                smallest = value;
                smallestAt = i;
            }
        }
        const bool smallestFirst = largestAt > smallestAt;
        blob[static_cast<std::size_t>(2 * j)] = smallestFirst ? smallest : largest;
        blob[static_cast<std::size_t>(2 * j + 1)] = smallestFirst ? largest : smallest;
    }
    return blob;
}

std::vector<float> analyze_intensity(const float* samples, std::int64_t length, double sample_rate) {
    const Points p = points(length);
    std::vector<float> blob(blobFloats(p.q), 0.0f);
    LiteralColour colour(sample_rate);
    // Every point whose frame of 512 samples lies inside the series; none
    // when q <= 512.
    for (std::int64_t i = 0; p.q > 512 && i < p.q && i * p.k + 512 <= length; ++i) {
        blob[static_cast<std::size_t>(i)] = colour.intensity(samples + i * p.k);
    }
    return blob;
}

}  // namespace literal

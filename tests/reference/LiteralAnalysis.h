#pragma once

#include <cstdint>
#include <vector>

// The two analyses written out step by step, single-threaded, with one
// forward and three inverse transforms per intensity point: the reference
// that the product's analyses are checked and timed against. Each returns the
// whole blob's floats (4 x floor(q / 4) + 4 of them).
namespace literal {

std::vector<float> analyze_wave(const float* samples, std::int64_t length);
std::vector<float> analyze_intensity(const float* samples, std::int64_t length, double sample_rate);

}  // namespace literal

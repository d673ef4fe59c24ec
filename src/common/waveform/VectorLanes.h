#pragma once

#include <cstdint>

// Four 32-bit lanes processed at once by the compiler's vector extension:
// the series arithmetic, the mixing of decoded frames and the silencing of
// samples that are not numbers run four samples per step with it.
namespace lanes {

constexpr int kWidth = 4;
using Floats = float __attribute__((vector_size(16)));
using Ints = std::int32_t __attribute__((vector_size(16)));
using Bits = std::uint32_t __attribute__((vector_size(16)));

}  // namespace lanes

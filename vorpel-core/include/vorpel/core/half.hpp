// Exact IEEE binary16 -> binary32 widening (subnormals become normal floats,
// infinities and NaN payloads are kept).
#pragma once

#include <bit>
#include <cstdint>

namespace vorpel {

inline float half_to_float(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
  const uint32_t exp = (h >> 10) & 0x1Fu;
  const uint32_t mant = h & 0x3FFu;
  if (exp == 0x1F) return std::bit_cast<float>(sign | 0x7F800000u | (mant << 13));
  if (exp == 0) {
    // ±mantissa × 2^-24, exact in binary32.
    const float mag = static_cast<float>(mant) * 5.9604644775390625e-8f;
    return sign ? -mag : mag;
  }
  return std::bit_cast<float>(sign | ((exp + 112u) << 23) | (mant << 13));
}

}  // namespace vorpel

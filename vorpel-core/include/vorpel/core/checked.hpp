// Saturating size arithmetic for counts read from files: a product or sum that
// does not fit in 64 bits becomes UINT64_MAX, which no real length can equal
// or satisfy, so comparisons against actual sizes fail safely.
#pragma once

#include <cstdint>
#include <limits>

namespace vorpel {

inline constexpr uint64_t kSaturated = std::numeric_limits<uint64_t>::max();

inline uint64_t sat_mul(uint64_t a, uint64_t b) {
  uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? kSaturated : r;
}

inline uint64_t sat_add(uint64_t a, uint64_t b) {
  uint64_t r;
  return __builtin_add_overflow(a, b, &r) ? kSaturated : r;
}

}  // namespace vorpel

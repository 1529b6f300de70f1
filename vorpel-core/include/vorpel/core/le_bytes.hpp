// Little-endian, unaligned reads out of a byte image: every value is copied
// out with memcpy, so any offset is legal. Callers check bounds first.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace vorpel {

static_assert(std::endian::native == std::endian::little, "vorpel assumes a little-endian host");

inline uint16_t load_u16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint32_t load_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint64_t load_u64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline float load_f32(const uint8_t* p) {
  float v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace vorpel

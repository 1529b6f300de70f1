// Mutation of container words: most random byte flips only break a
// container's framing. Half of the mutations instead set one aligned header or
// directory word (from `base`) to a boundary value or a neighbour of its old
// value, which keeps files parseable far more often and probes the checks of
// the header fields and of the tensor records.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

inline size_t mutate_container_word(uint8_t* data, size_t size, size_t max_size, unsigned seed, size_t base) {
  std::minstd_rand rng(seed);
  if (size < base + 240 || rng() % 2) return LLVMFuzzerMutate(data, size, max_size);
  static constexpr uint64_t kValues[] = {0, 1, 2, 3, 4, 5, 7, 8, 16, 31, 64, 255, 256, 0x7fffffff,
                                         0x80000000u, 0xffffffffu, 0xfffffffffffffffful, 0x8000000000000000ul};
  const size_t limit = std::min<size_t>(size - base, 308 + 44 * 64);
  const size_t at = base + (rng() % (limit / 4)) * 4;
  uint64_t v = kValues[rng() % std::size(kValues)];
  uint32_t old;
  std::memcpy(&old, data + at, 4);
  switch (rng() % 4) {
    case 1: v = old + 1u; break;
    case 2: v = old - 1u; break;
    case 3: v = uint64_t{old} * 2; break;
    default: break;
  }
  const size_t width = (rng() % 4 == 0 && at + 8 <= size) ? 8 : 4;
  std::memcpy(data + at, &v, width);
  return size;
}

// Small SIMD helpers shared by the kernels (x86-64 only; each function carries
// its own target attribute so the baseline build stays plain x86-64).
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>

namespace vorpel::simd {

// Sum of the eight lanes: fold 8 -> 4 -> 2 -> 1.
__attribute__((target("avx2,fma"))) inline float hsum(__m256 v) {
  __m128 h = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  h = _mm_add_ps(h, _mm_movehl_ps(h, h));
  h = _mm_add_ss(h, _mm_movehdup_ps(h));
  return _mm_cvtss_f32(h);
}

}  // namespace vorpel::simd
#endif

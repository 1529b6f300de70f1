// Walsh-Hadamard butterflies. Every element of every stage is one exact
// x + y or x - y, so the SIMD path gives bit-identical results to the plain one.
#include "vorpel/hadamard/fwht.hpp"

#include <bit>
#include <cmath>

#include "vorpel/core/panic.hpp"
#include "vorpel/core/cpu_features.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vorpel {
namespace {

void butterfly_portable(float* a, size_t n) {
  for (size_t h = 1; h < n; h *= 2) {
    for (size_t i = 0; i < n; i += 2 * h) {
      float* lo = a + i;
      float* hi = a + i + h;
      for (size_t j = 0; j < h; ++j) {
        const float x = lo[j], y = hi[j];
        lo[j] = x + y;
        hi[j] = x - y;
      }
    }
  }
}

#if defined(__x86_64__)
// Stages h = 1, 2, 4 inside each 8-float register, then 8-wide butterflies.
__attribute__((target("avx2,fma"))) void butterfly_avx2(float* a, size_t n) {
  for (size_t i = 0; i < n; i += 8) {
    __m256 v = _mm256_loadu_ps(a + i);
    __m256 s = _mm256_permute_ps(v, 0b10110001);  // swap neighbours
    v = _mm256_blend_ps(_mm256_add_ps(v, s), _mm256_sub_ps(s, v), 0b10101010);
    s = _mm256_permute_ps(v, 0b01001110);  // swap pairs
    v = _mm256_blend_ps(_mm256_add_ps(v, s), _mm256_sub_ps(s, v), 0b11001100);
    s = _mm256_permute2f128_ps(v, v, 1);  // swap halves
    v = _mm256_blend_ps(_mm256_add_ps(v, s), _mm256_sub_ps(s, v), 0b11110000);
    _mm256_storeu_ps(a + i, v);
  }
  size_t h = 8;
  // Two stages per pass (h and 2h) halve the loads and stores; each element
  // still sees the same adds and subtracts in the same order.
  for (; 4 * h <= n; h *= 4) {
    for (size_t i = 0; i < n; i += 4 * h) {
      float* p0 = a + i;
      float* p1 = p0 + h;
      float* p2 = p1 + h;
      float* p3 = p2 + h;
      for (size_t j = 0; j < h; j += 8) {
        const __m256 x0 = _mm256_loadu_ps(p0 + j), x1 = _mm256_loadu_ps(p1 + j);
        const __m256 x2 = _mm256_loadu_ps(p2 + j), x3 = _mm256_loadu_ps(p3 + j);
        const __m256 s01 = _mm256_add_ps(x0, x1), d01 = _mm256_sub_ps(x0, x1);
        const __m256 s23 = _mm256_add_ps(x2, x3), d23 = _mm256_sub_ps(x2, x3);
        _mm256_storeu_ps(p0 + j, _mm256_add_ps(s01, s23));
        _mm256_storeu_ps(p1 + j, _mm256_add_ps(d01, d23));
        _mm256_storeu_ps(p2 + j, _mm256_sub_ps(s01, s23));
        _mm256_storeu_ps(p3 + j, _mm256_sub_ps(d01, d23));
      }
    }
  }
  for (; h < n; h *= 2) {
    for (size_t i = 0; i < n; i += 2 * h) {
      float* lo = a + i;
      float* hi = a + i + h;
      for (size_t j = 0; j < h; j += 8) {
        const __m256 x = _mm256_loadu_ps(lo + j), y = _mm256_loadu_ps(hi + j);
        _mm256_storeu_ps(lo + j, _mm256_add_ps(x, y));
        _mm256_storeu_ps(hi + j, _mm256_sub_ps(x, y));
      }
    }
  }
}

#define VORPEL_AVX512 __attribute__((target("avx2,fma,avx512f,avx512dq")))

// Stages h = 1, 2, 4, 8 inside one 16-float register; each lane pair ends
// as (x + y, x - y) exactly as in the plain loop.
VORPEL_AVX512 inline __m512 butterfly16(__m512 v) {
  __m512 s = _mm512_permute_ps(v, 0b10110001);  // swap neighbours
  v = _mm512_mask_blend_ps(0xAAAA, _mm512_add_ps(v, s), _mm512_sub_ps(s, v));
  s = _mm512_permute_ps(v, 0b01001110);  // swap pairs
  v = _mm512_mask_blend_ps(0xCCCC, _mm512_add_ps(v, s), _mm512_sub_ps(s, v));
  s = _mm512_shuffle_f32x4(v, v, 0b10110001);  // swap 4-float quarters pairwise
  v = _mm512_mask_blend_ps(0xF0F0, _mm512_add_ps(v, s), _mm512_sub_ps(s, v));
  s = _mm512_shuffle_f32x4(v, v, 0b01001110);  // swap halves
  return _mm512_mask_blend_ps(0xFF00, _mm512_add_ps(v, s), _mm512_sub_ps(s, v));
}

// Blocks of 64 (the usual CQ block) stay in four registers for all six stages
// and the scale.
VORPEL_AVX512 void transform64_avx512(float* a, float scale) {
  __m512 x0 = butterfly16(_mm512_loadu_ps(a)), x1 = butterfly16(_mm512_loadu_ps(a + 16));
  __m512 x2 = butterfly16(_mm512_loadu_ps(a + 32)), x3 = butterfly16(_mm512_loadu_ps(a + 48));
  const __m512 s01 = _mm512_add_ps(x0, x1), d01 = _mm512_sub_ps(x0, x1);
  const __m512 s23 = _mm512_add_ps(x2, x3), d23 = _mm512_sub_ps(x2, x3);
  const __m512 sv = _mm512_set1_ps(scale);
  _mm512_storeu_ps(a, _mm512_mul_ps(_mm512_add_ps(s01, s23), sv));
  _mm512_storeu_ps(a + 16, _mm512_mul_ps(_mm512_add_ps(d01, d23), sv));
  _mm512_storeu_ps(a + 32, _mm512_mul_ps(_mm512_sub_ps(s01, s23), sv));
  _mm512_storeu_ps(a + 48, _mm512_mul_ps(_mm512_sub_ps(d01, d23), sv));
}

// As butterfly_avx2, 16 lanes wide (n >= 16).
VORPEL_AVX512 void butterfly_avx512(float* a, size_t n) {
  for (size_t i = 0; i < n; i += 16) _mm512_storeu_ps(a + i, butterfly16(_mm512_loadu_ps(a + i)));
  size_t h = 16;
  for (; 4 * h <= n; h *= 4) {
    for (size_t i = 0; i < n; i += 4 * h) {
      float* p0 = a + i;
      float* p1 = p0 + h;
      float* p2 = p1 + h;
      float* p3 = p2 + h;
      for (size_t j = 0; j < h; j += 16) {
        const __m512 x0 = _mm512_loadu_ps(p0 + j), x1 = _mm512_loadu_ps(p1 + j);
        const __m512 x2 = _mm512_loadu_ps(p2 + j), x3 = _mm512_loadu_ps(p3 + j);
        const __m512 s01 = _mm512_add_ps(x0, x1), d01 = _mm512_sub_ps(x0, x1);
        const __m512 s23 = _mm512_add_ps(x2, x3), d23 = _mm512_sub_ps(x2, x3);
        _mm512_storeu_ps(p0 + j, _mm512_add_ps(s01, s23));
        _mm512_storeu_ps(p1 + j, _mm512_add_ps(d01, d23));
        _mm512_storeu_ps(p2 + j, _mm512_sub_ps(s01, s23));
        _mm512_storeu_ps(p3 + j, _mm512_sub_ps(d01, d23));
      }
    }
  }
  for (; h < n; h *= 2) {
    for (size_t i = 0; i < n; i += 2 * h) {
      float* lo = a + i;
      float* hi = a + i + h;
      for (size_t j = 0; j < h; j += 16) {
        const __m512 x = _mm512_loadu_ps(lo + j), y = _mm512_loadu_ps(hi + j);
        _mm512_storeu_ps(lo + j, _mm512_add_ps(x, y));
        _mm512_storeu_ps(hi + j, _mm512_sub_ps(x, y));
      }
    }
  }
}

__attribute__((target("avx2,fma"))) void scale_avx2(float* a, size_t n, float s) {
  const __m256 sv = _mm256_set1_ps(s);
  for (size_t i = 0; i < n; i += 8) _mm256_storeu_ps(a + i, _mm256_mul_ps(_mm256_loadu_ps(a + i), sv));
}
#endif

void butterfly(float* a, size_t n) {
#if defined(__x86_64__)
  if (n >= 16 && cpu::active_level() >= cpu::SimdLevel::Avx512) {
    butterfly_avx512(a, n);
    return;
  }
  if (n >= 8 && cpu::active_level() >= cpu::SimdLevel::Avx2) {
    butterfly_avx2(a, n);
    return;
  }
#endif
  butterfly_portable(a, n);
}

void check_pow2(size_t n) { VORPEL_CHECK(std::has_single_bit(n), "FWHT length must be a power of two"); }

// Normalised transform of one power-of-two block (precondition checked by callers).
void transform(float* a, size_t n) {
  const float s = 1.0f / std::sqrt(static_cast<float>(n));
#if defined(__x86_64__)
  if (n == 64 && cpu::active_level() >= cpu::SimdLevel::Avx512) {
    transform64_avx512(a, s);
    return;
  }
#endif
  butterfly(a, n);
#if defined(__x86_64__)
  if (n >= 8 && cpu::active_level() >= cpu::SimdLevel::Avx2) {
    scale_avx2(a, n, s);
    return;
  }
#endif
  for (size_t i = 0; i < n; ++i) a[i] *= s;
}

}  // namespace

void fwht_butterfly(std::span<float> a) {
  check_pow2(a.size());
  butterfly(a.data(), a.size());
}

void fwht(std::span<float> a) {
  check_pow2(a.size());
  transform(a.data(), a.size());
}

void fwht_blockwise(std::span<float> a, size_t b) {
  VORPEL_CHECK(b != 0, "chunk size must be non-zero");
  const size_t blocks = a.size() / b;
  if (blocks == 0) return;
  check_pow2(b);
  for (size_t k = 0; k < blocks; ++k) transform(a.data() + k * b, b);
}

}  // namespace vorpel

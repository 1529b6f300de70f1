// AVX2 4-bit products: eight columns per register. Each 8-byte load holds a
// row pair for eight columns; the bytes are widened to dwords and each nibble
// is sign-extended by a shift pair. Blocks of T input rows share every
// unpacked weight register.
#include <immintrin.h>

#include <algorithm>

#include "quant_internal.hpp"
#include "vorpel/v1/quant.hpp"

#define VORPEL_AVX2 __attribute__((target("avx2,fma")))

namespace vorpel::v1::detail {
namespace {

// The low and the high nibbles of the 8 bytes at p, as signed values.
VORPEL_AVX2 inline void unpack8(const uint8_t* p, __m256& lo, __m256& hi) {
  const __m256i b = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
  lo = _mm256_cvtepi32_ps(_mm256_srai_epi32(_mm256_slli_epi32(b, 28), 28));
  hi = _mm256_cvtepi32_ps(_mm256_srai_epi32(_mm256_slli_epi32(b, 24), 28));
}

// Columns [c, c + 8V) of T rows: x and y point at the first row.
template <int T, int V>
VORPEL_AVX2 void block(const QView& v, const float* x, float* y, uint64_t c) {
  const __m256 zero = _mm256_setzero_ps();
  for (int t = 0; t < T; ++t)
    for (int j = 0; j < V; ++j) _mm256_storeu_ps(y + t * v.out + c + 8 * j, zero);
  for (uint64_t r0 = 0; r0 < v.in; r0 += kQuantGroup) {
    const uint64_t r1 = std::min(v.in, r0 + kQuantGroup);
    __m256 acc[T][V];
    for (int t = 0; t < T; ++t)
      for (int j = 0; j < V; ++j) acc[t][j] = zero;
    uint64_t r = r0;
    for (; r + 1 < r1; r += 2) {
      const uint8_t* row = v.packed + (r / 2) * v.out + c;
      __m256 lo[V], hi[V];
      for (int j = 0; j < V; ++j) unpack8(row + 8 * j, lo[j], hi[j]);
      for (int t = 0; t < T; ++t) {
        const __m256 xl = _mm256_broadcast_ss(x + t * v.in + r);
        const __m256 xh = _mm256_broadcast_ss(x + t * v.in + r + 1);
        for (int j = 0; j < V; ++j) {
          acc[t][j] = _mm256_fmadd_ps(lo[j], xl, acc[t][j]);
          acc[t][j] = _mm256_fmadd_ps(hi[j], xh, acc[t][j]);
        }
      }
    }
    if (r < r1) {  // odd in_features: low nibble only
      const uint8_t* row = v.packed + (r / 2) * v.out + c;
      for (int j = 0; j < V; ++j) {
        __m256 lo, hi;
        unpack8(row + 8 * j, lo, hi);
        for (int t = 0; t < T; ++t) acc[t][j] = _mm256_fmadd_ps(lo, _mm256_broadcast_ss(x + t * v.in + r), acc[t][j]);
      }
    }
    const float* s = v.scales + (r0 / kQuantGroup) * v.out + c;
    for (int j = 0; j < V; ++j) {
      const __m256 sj = _mm256_loadu_ps(s + 8 * j);
      for (int t = 0; t < T; ++t) {
        float* p = y + t * v.out + c + 8 * j;
        _mm256_storeu_ps(p, _mm256_fmadd_ps(acc[t][j], sj, _mm256_loadu_ps(p)));
      }
    }
  }
}

// All columns of T rows: wide blocks, then single registers, then the
// portable kernel for the last out % 8 columns.
template <int T, int V>
VORPEL_AVX2 void all_columns(const QView& v, const float* x, float* y) {
  uint64_t c = 0;
  for (; c + 8 * V <= v.out; c += 8 * V) block<T, V>(v, x, y, c);
  for (; c + 8 <= v.out; c += 8) block<T, 1>(v, x, y, c);
  if (c < v.out) products_portable(v, x, T, c, v.out, y);
}

}  // namespace

VORPEL_AVX2 void products_avx2(const QView& v, const float* x, uint64_t rows, float* y) {
  if (rows == 1) return all_columns<1, 4>(v, x, y);
  uint64_t m = 0;
  for (; m + 4 <= rows; m += 4) all_columns<4, 2>(v, x + m * v.in, y + m * v.out);
  switch (rows - m) {
    case 3: return all_columns<3, 2>(v, x + m * v.in, y + m * v.out);
    case 2: return all_columns<2, 2>(v, x + m * v.in, y + m * v.out);
    case 1: return all_columns<1, 4>(v, x + m * v.in, y + m * v.out);
    default: return;
  }
}

}  // namespace vorpel::v1::detail

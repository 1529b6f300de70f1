// AVX-512 4-bit products: sixteen columns per register. The 16 bytes of a row
// pair are widened to dwords; a register permute reads the low 4 bits of each
// lane, so one 16-entry table of nibble values turns the low nibbles, and the
// same table after a 4-bit shift the high ones, into floats. The last partial
// register uses masked loads and stores, so no column falls to scalar code.
// GCC 12 flags the intrinsics' own "undefined" upper halves as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <algorithm>

#include "quant_internal.hpp"
#include "vorpel/v1/quant.hpp"

#define VORPEL_AVX512 __attribute__((target("avx2,fma,avx512f,avx512bw,avx512dq,avx512vl")))

namespace vorpel::v1::detail {
namespace {

// Value of each nibble 0..15 read as two's complement.
VORPEL_AVX512 inline __m512 nibble_table() {
  return _mm512_setr_ps(0, 1, 2, 3, 4, 5, 6, 7, -8, -7, -6, -5, -4, -3, -2, -1);
}

VORPEL_AVX512 inline void unpack16(const uint8_t* p, __mmask16 k, __m512 table, __m512& lo, __m512& hi) {
  const __m512i b = _mm512_cvtepu8_epi32(_mm_maskz_loadu_epi8(k, p));
  lo = _mm512_permutexvar_ps(b, table);
  hi = _mm512_permutexvar_ps(_mm512_srli_epi32(b, 4), table);
}

// Columns [c, c + 16V) of T rows (the last register limited to the columns in
// `last`); x and y point at the first row.
template <int T, int V>
VORPEL_AVX512 void block(const QView& v, const float* x, float* y, uint64_t c, __mmask16 last) {
  const __m512 table = nibble_table();
  const __m512 zero = _mm512_setzero_ps();
  __mmask16 mask[V];
  for (int j = 0; j < V; ++j) mask[j] = j == V - 1 ? last : static_cast<__mmask16>(0xFFFF);
  for (int t = 0; t < T; ++t)
    for (int j = 0; j < V; ++j) _mm512_mask_storeu_ps(y + t * v.out + c + 16 * j, mask[j], zero);
  for (uint64_t r0 = 0; r0 < v.in; r0 += kQuantGroup) {
    const uint64_t r1 = std::min(v.in, r0 + kQuantGroup);
    __m512 acc[T][V];
    for (int t = 0; t < T; ++t)
      for (int j = 0; j < V; ++j) acc[t][j] = zero;
    uint64_t r = r0;
    for (; r + 1 < r1; r += 2) {
      const uint8_t* row = v.packed + (r / 2) * v.out + c;
      __m512 lo[V], hi[V];
      for (int j = 0; j < V; ++j) unpack16(row + 16 * j, mask[j], table, lo[j], hi[j]);
      for (int t = 0; t < T; ++t) {
        const __m512 xl = _mm512_set1_ps(x[t * v.in + r]);
        const __m512 xh = _mm512_set1_ps(x[t * v.in + r + 1]);
        for (int j = 0; j < V; ++j) {
          acc[t][j] = _mm512_fmadd_ps(lo[j], xl, acc[t][j]);
          acc[t][j] = _mm512_fmadd_ps(hi[j], xh, acc[t][j]);
        }
      }
    }
    if (r < r1) {  // odd in_features: low nibble only
      const uint8_t* row = v.packed + (r / 2) * v.out + c;
      for (int j = 0; j < V; ++j) {
        __m512 lo, hi;
        unpack16(row + 16 * j, mask[j], table, lo, hi);
        for (int t = 0; t < T; ++t) acc[t][j] = _mm512_fmadd_ps(lo, _mm512_set1_ps(x[t * v.in + r]), acc[t][j]);
      }
    }
    const float* s = v.scales + (r0 / kQuantGroup) * v.out + c;
    for (int j = 0; j < V; ++j) {
      const __m512 sj = _mm512_maskz_loadu_ps(mask[j], s + 16 * j);
      for (int t = 0; t < T; ++t) {
        float* p = y + t * v.out + c + 16 * j;
        _mm512_mask_storeu_ps(p, mask[j], _mm512_fmadd_ps(acc[t][j], sj, _mm512_maskz_loadu_ps(mask[j], p)));
      }
    }
  }
}

template <int T, int V>
VORPEL_AVX512 void all_columns(const QView& v, const float* x, float* y) {
  uint64_t c = 0;
  for (; c + 16 * V <= v.out; c += 16 * V) block<T, V>(v, x, y, c, 0xFFFF);
  for (; c + 16 <= v.out; c += 16) block<T, 1>(v, x, y, c, 0xFFFF);
  if (c < v.out) block<T, 1>(v, x, y, c, static_cast<__mmask16>((1u << (v.out - c)) - 1));
}

}  // namespace

VORPEL_AVX512 void products_avx512(const QView& v, const float* x, uint64_t rows, float* y) {
  if (rows == 1) return all_columns<1, 4>(v, x, y);
  uint64_t m = 0;
  for (; m + 4 <= rows; m += 4) all_columns<4, 4>(v, x + m * v.in, y + m * v.out);
  switch (rows - m) {
    case 3: return all_columns<3, 4>(v, x + m * v.in, y + m * v.out);
    case 2: return all_columns<2, 4>(v, x + m * v.in, y + m * v.out);
    case 1: return all_columns<1, 4>(v, x + m * v.in, y + m * v.out);
    default: return;
  }
}

}  // namespace vorpel::v1::detail

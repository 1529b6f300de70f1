// AVX-512 row kernels on the row-group layout, shared by the plain AVX-512
// and the VBMI translation units. The includer defines VORPEL_AVX512 (the
// target attribute) and, for VBMI, VORPEL_CQ_VBMI. Everything here has
// internal linkage, so each unit gets its own copy for its own target.
// One register holds 16 rows of one column, so a tile of 8 columns becomes 8
// permutes of the register-held codebook, each times one broadcast input.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "cq_internal.hpp"

namespace vorpel::cq::detail {
namespace {

// Software prefetch distance in the packed stream: the decode keeps too few
// loads in flight for the hardware prefetcher alone to reach full bandwidth.
constexpr uint64_t kPrefetch = 12288;

// 16 rows of a group (one half of its 32 lanes) per register.
constexpr uint64_t kSubRows = 16;

template <int BITS>
struct Dec {
  __m512 values;   // code values, repeated with period 2^BITS
  __m512i spread;  // 3-bit: source dword of each lane before the byte shuffle
  __m512i shuf;    // 3-bit: the 3 bytes of each lane (VBMI: bytes of the whole half tile)
};

template <int BITS>
VORPEL_AVX512 inline Dec<BITS> make_dec(const View& v) {
  alignas(64) float vals[16];
  alignas(64) int32_t spread[16];
  alignas(64) uint8_t shuf[64];
  for (int i = 0; i < 16; ++i) {
    vals[i] = v.cv[i & ((1 << BITS) - 1)];
    spread[i] = 3 * (i / 4) + std::min(i % 4, 2);
  }
  for (int i = 0; i < 64; ++i) {
#if defined(VORPEL_CQ_VBMI)
    // Byte i of the result: byte 3 * (i / 4) + i % 4 of the half tile (the
    // fourth byte of each lane is never read).
    shuf[i] = static_cast<uint8_t>(3 * (i / 4) + std::min(i % 4, 2));
#else
    const int m = i % 16;
    shuf[i] = static_cast<uint8_t>(m % 4 == 3 ? 0x80 : (m / 4) * 3 + m % 4);
#endif
  }
  return Dec<BITS>{_mm512_load_ps(vals), _mm512_load_si512(spread), _mm512_load_si512(shuf)};
}

// Lane i = the BITS bytes of row i of a 16-row half tile, as a dword.
template <int BITS>
VORPEL_AVX512 inline __m512i lanes(const Dec<BITS>& d, const uint8_t* p) {
  if constexpr (BITS == 4) {
    return _mm512_load_si512(p);
  } else if constexpr (BITS == 2) {
    return _mm512_cvtepu16_epi32(_mm256_load_si256(reinterpret_cast<const __m256i*>(p)));
  } else {
    // 48 bytes, 3 per lane (the load may run past the half tile: later codes
    // or the slack). With VBMI one byte permute; else each 12-byte quarter into
    // its 128-bit lane, then a byte shuffle.
    const __m512i w = _mm512_loadu_si512(p);
#if defined(VORPEL_CQ_VBMI)
    return _mm512_permutexvar_epi8(d.shuf, w);
#else
    return _mm512_shuffle_epi8(_mm512_permutexvar_epi32(d.spread, w), d.shuf);
#endif
  }
}

// Code S of every lane as its codebook value. The permute reads the low 4
// bits of each lane and the table repeats with the code width, so the codes
// above need no mask.
template <int BITS, int S>
VORPEL_AVX512 inline __m512 value(const Dec<BITS>& d, __m512i w) {
  if constexpr (S == 0) return _mm512_permutexvar_ps(w, d.values);
  else return _mm512_permutexvar_ps(_mm512_srli_epi32(w, BITS * S), d.values);
}

// Column S of a tile for G halves: one broadcast input, partial sum S mod 4.
template <int BITS, int G, int S>
VORPEL_AVX512 inline void step(const Dec<BITS>& d, const __m512i* w, const float* xq, __m512 (*p)[4]) {
  const __m512 xs = _mm512_set1_ps(xq[S]);
  for (int g = 0; g < G; ++g) p[g][S & 3] = _mm512_fmadd_ps(value<BITS, S>(d, w[g]), xs, p[g][S & 3]);
}

// Rows of G halves of one group, from half `sub0`: out[g] holds 16 row products.
template <int BITS, int G>
VORPEL_AVX512 void pass(const View& v, const Dec<BITS>& dm, const float* x, const uint8_t* group, uint64_t sub0,
                        __m512* out) {
  constexpr uint64_t kTile = kGroupRows * BITS, kHalf = kSubRows * BITS;
  // A register copy: otherwise every permute may reload the table from memory.
  Dec<BITS> d = dm;
  __asm__("" : "+v"(d.values), "+v"(d.spread), "+v"(d.shuf));
  const uint64_t tiles = v.b / kTileCols;
  __m512 acc[G];
  for (int g = 0; g < G; ++g) acc[g] = _mm512_setzero_ps();
  const uint8_t* block = group;
  for (uint64_t k = 0; k < v.bpr; ++k, block += v.block_bytes, x += v.b) {
    _mm_prefetch(reinterpret_cast<const char*>(block + kPrefetch), _MM_HINT_T0);
    __m512 p[G][4];
    for (int g = 0; g < G; ++g)
      for (int a = 0; a < 4; ++a) p[g][a] = _mm512_setzero_ps();
    const uint8_t* tile = block + kScaleBytes;
    for (uint64_t q = 0; q < tiles; ++q, tile += kTile) {
      _mm_prefetch(reinterpret_cast<const char*>(tile + kPrefetch), _MM_HINT_T0);
      if constexpr (kTile > 64) _mm_prefetch(reinterpret_cast<const char*>(tile + kPrefetch + 64), _MM_HINT_T0);
      __m512i w[G];
      for (int g = 0; g < G; ++g) w[g] = lanes<BITS>(d, tile + (sub0 + g) * kHalf);
      const float* xq = x + q * kTileCols;
      step<BITS, G, 0>(d, w, xq, p);
      step<BITS, G, 1>(d, w, xq, p);
      step<BITS, G, 2>(d, w, xq, p);
      step<BITS, G, 3>(d, w, xq, p);
      step<BITS, G, 4>(d, w, xq, p);
      step<BITS, G, 5>(d, w, xq, p);
      step<BITS, G, 6>(d, w, xq, p);
      step<BITS, G, 7>(d, w, xq, p);
    }
    for (int g = 0; g < G; ++g) {
      const __m512 sc = _mm512_cvtph_ps(
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 2 * kSubRows * (sub0 + g))));
      const __m512 sum = _mm512_add_ps(_mm512_add_ps(p[g][0], p[g][1]), _mm512_add_ps(p[g][2], p[g][3]));
      acc[g] = _mm512_fmadd_ps(sum, sc, acc[g]);
    }
  }
  for (int g = 0; g < G; ++g) out[g] = acc[g];
}

template <int BITS>
VORPEL_AVX512 void rows_bits(const View& v, const float* x, uint64_t first, uint64_t count, float* y) {
  const Dec<BITS> d = make_dec<BITS>(v);
  const uint64_t end = first + count;
  for (uint64_t g = first / kGroupRows; g * kGroupRows < end; ++g) {
    const uint64_t r0 = g * kGroupRows;
    const uint64_t lo = std::max(first, r0) - r0, hi = std::min(end, r0 + kGroupRows) - r0;
    const uint8_t* group = v.packed + g * v.group_bytes;
    alignas(64) float res[kGroupRows];
    __m512 out[2];
    if (lo < kSubRows && hi > kSubRows) {
      pass<BITS, 2>(v, d, x, group, 0, out);
      if (lo == 0 && hi == kGroupRows) {
        _mm512_storeu_ps(y + (r0 - first), out[0]);
        _mm512_storeu_ps(y + (r0 - first) + kSubRows, out[1]);
        continue;
      }
      _mm512_store_ps(res, out[0]);
      _mm512_store_ps(res + kSubRows, out[1]);
    } else {
      const uint64_t sub = lo >= kSubRows ? 1 : 0;
      pass<BITS, 1>(v, d, x, group, sub, out);
      _mm512_store_ps(res + kSubRows * sub, out[0]);
    }
    std::memcpy(y + (r0 + lo - first), res + lo, (hi - lo) * sizeof(float));
  }
}

}  // namespace
}  // namespace vorpel::cq::detail

// AVX-512 CQ kernels on the row-group layout: one register holds 16 rows of
// one column, so a tile of 8 columns becomes 8 permutes of the register-held
// codebook, each times one broadcast input value; the batched product expands
// each group once and reuses it from L1/L2 for every vector.
// GCC 12 flags the intrinsics' own "undefined" upper halves as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "cq_internal.hpp"

#define VORPEL_AVX512 __attribute__((target("avx2,fma,f16c,prfchw,avx512f,avx512bw,avx512dq,avx512vl")))

namespace vorpel::cq::detail {
namespace {

// Software prefetch distance in the packed stream: the decode keeps too few
// loads in flight for the hardware prefetcher alone to reach full bandwidth.
constexpr uint64_t kPrefetch = 12288;

// 16 rows of a group (one half of its 32 lanes) per register.
constexpr uint64_t kSubRows = 16;

// BITS: lane bits per code (2 or 4).
template <int BITS>
struct Dec {
  __m512 values;  // code values, repeated with period 2^BITS
};

template <int BITS>
VORPEL_AVX512 inline Dec<BITS> make_dec(const View& v) {
  alignas(64) float vals[16];
  for (int i = 0; i < 16; ++i) vals[i] = v.cv[i & ((1 << BITS) - 1)];
  return Dec<BITS>{_mm512_load_ps(vals)};
}

// Lane i = the BITS bytes of row i of a 16-row half tile, as a dword.
template <int BITS>
VORPEL_AVX512 inline __m512i lanes(const uint8_t* p) {
  if constexpr (BITS == 4) return _mm512_load_si512(p);
  else return _mm512_cvtepu16_epi32(_mm256_load_si256(reinterpret_cast<const __m256i*>(p)));
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
  __asm__("" : "+v"(d.values));
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
      for (int g = 0; g < G; ++g) w[g] = lanes<BITS>(tile + (sub0 + g) * kHalf);
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

// 2-bit rows, all 32 of a group per pass: one 64-byte load holds a whole
// tile with dword i = rows 2i (low half) and 2i + 1 (high half), so the codes
// need no widening (a zero-extending load costs a shuffle per half tile).
template <int S>
VORPEL_AVX512 inline void step_pairs(const __m512 table, __m512i w, const float* xq, __m512 (*p)[4]) {
  const __m512 xs = _mm512_set1_ps(xq[S]);
  const __m512i even = S == 0 ? w : _mm512_srli_epi32(w, 2 * S);
  p[0][S & 3] = _mm512_fmadd_ps(_mm512_permutexvar_ps(even, table), xs, p[0][S & 3]);
  p[1][S & 3] = _mm512_fmadd_ps(_mm512_permutexvar_ps(_mm512_srli_epi32(w, 16 + 2 * S), table), xs, p[1][S & 3]);
}

VORPEL_AVX512 void pass_pairs(const View& v, const Dec<2>& d, const float* x, const uint8_t* group, __m512* out) {
  constexpr uint64_t kTile = kGroupRows * 2;
  __m512 table = d.values;
  __asm__("" : "+v"(table));
  const uint64_t tiles = v.b / kTileCols;
  __m512 acc[2] = {_mm512_setzero_ps(), _mm512_setzero_ps()};  // even rows, odd rows
  const uint8_t* block = group;
  for (uint64_t k = 0; k < v.bpr; ++k, block += v.block_bytes, x += v.b) {
    _mm_prefetch(reinterpret_cast<const char*>(block + kPrefetch), _MM_HINT_T0);
    __m512 p[2][4];
    for (int g = 0; g < 2; ++g)
      for (int a = 0; a < 4; ++a) p[g][a] = _mm512_setzero_ps();
    const uint8_t* tile = block + kScaleBytes;
    for (uint64_t q = 0; q < tiles; ++q, tile += kTile) {
      _mm_prefetch(reinterpret_cast<const char*>(tile + kPrefetch), _MM_HINT_T0);
      const __m512i w = _mm512_load_si512(tile);
      const float* xq = x + q * kTileCols;
      step_pairs<0>(table, w, xq, p);
      step_pairs<1>(table, w, xq, p);
      step_pairs<2>(table, w, xq, p);
      step_pairs<3>(table, w, xq, p);
      step_pairs<4>(table, w, xq, p);
      step_pairs<5>(table, w, xq, p);
      step_pairs<6>(table, w, xq, p);
      step_pairs<7>(table, w, xq, p);
    }
    // The scale line read the same way: low halves even rows, high halves odd.
    const __m512i sl = _mm512_load_si512(block);
    const __m512 se = _mm512_cvtph_ps(_mm512_cvtepi32_epi16(sl));
    const __m512 so = _mm512_cvtph_ps(_mm512_cvtepi32_epi16(_mm512_srli_epi32(sl, 16)));
    acc[0] = _mm512_fmadd_ps(_mm512_add_ps(_mm512_add_ps(p[0][0], p[0][1]), _mm512_add_ps(p[0][2], p[0][3])), se, acc[0]);
    acc[1] = _mm512_fmadd_ps(_mm512_add_ps(_mm512_add_ps(p[1][0], p[1][1]), _mm512_add_ps(p[1][2], p[1][3])), so, acc[1]);
  }
  // Back to row order: rows 0..15, then 16..31.
  alignas(64) int32_t lo[16], hi[16];
  for (int i = 0; i < 16; ++i) {
    lo[i] = (i / 2) + 16 * (i % 2);
    hi[i] = 8 + (i / 2) + 16 * (i % 2);
  }
  out[0] = _mm512_permutex2var_ps(acc[0], _mm512_load_si512(lo), acc[1]);
  out[1] = _mm512_permutex2var_ps(acc[0], _mm512_load_si512(hi), acc[1]);
}

VORPEL_AVX512 void rows_2bit(const View& v, const float* x, uint64_t first, uint64_t count, float* y) {
  const Dec<2> d = make_dec<2>(v);
  const uint64_t end = first + count;
  for (uint64_t g = first / kGroupRows; g * kGroupRows < end; ++g) {
    const uint64_t r0 = g * kGroupRows;
    const uint64_t lo = std::max(first, r0) - r0, hi = std::min(end, r0 + kGroupRows) - r0;
    __m512 out[2];
    pass_pairs(v, d, x, v.packed + g * v.group_bytes, out);
    if (lo == 0 && hi == kGroupRows) {
      _mm512_storeu_ps(y + (r0 - first), out[0]);
      _mm512_storeu_ps(y + (r0 - first) + kSubRows, out[1]);
      continue;
    }
    alignas(64) float res[kGroupRows];
    _mm512_store_ps(res, out[0]);
    _mm512_store_ps(res + kSubRows, out[1]);
    std::memcpy(y + (r0 + lo - first), res + lo, (hi - lo) * sizeof(float));
  }
}

// The group's 32 rows with scales applied, column-major: panel[c * 32 + lane].
template <int BITS>
VORPEL_AVX512 void expand_group(const View& v, const Dec<BITS>& d, const uint8_t* group, float* panel) {
  constexpr uint64_t kTile = kGroupRows * BITS, kHalf = kSubRows * BITS;
  const uint64_t tiles = v.b / kTileCols;
  const uint8_t* block = group;
  for (uint64_t k = 0; k < v.bpr; ++k, block += v.block_bytes) {
    __m512 sc[2];
    for (int g = 0; g < 2; ++g)
      sc[g] = _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 2 * kSubRows * g)));
    const uint8_t* tile = block + kScaleBytes;
    for (uint64_t q = 0; q < tiles; ++q, tile += kTile, panel += kTileCols * kGroupRows) {
      for (int g = 0; g < 2; ++g) {
        const __m512i w = lanes<BITS>(tile + g * kHalf);
        float* p = panel + kSubRows * g;
        _mm512_store_ps(p + 0 * kGroupRows, _mm512_mul_ps(value<BITS, 0>(d, w), sc[g]));
        _mm512_store_ps(p + 1 * kGroupRows, _mm512_mul_ps(value<BITS, 1>(d, w), sc[g]));
        _mm512_store_ps(p + 2 * kGroupRows, _mm512_mul_ps(value<BITS, 2>(d, w), sc[g]));
        _mm512_store_ps(p + 3 * kGroupRows, _mm512_mul_ps(value<BITS, 3>(d, w), sc[g]));
        _mm512_store_ps(p + 4 * kGroupRows, _mm512_mul_ps(value<BITS, 4>(d, w), sc[g]));
        _mm512_store_ps(p + 5 * kGroupRows, _mm512_mul_ps(value<BITS, 5>(d, w), sc[g]));
        _mm512_store_ps(p + 6 * kGroupRows, _mm512_mul_ps(value<BITS, 6>(d, w), sc[g]));
        _mm512_store_ps(p + 7 * kGroupRows, _mm512_mul_ps(value<BITS, 7>(d, w), sc[g]));
      }
    }
  }
}

// Where one group's products go: rows r0 + [lo, hi) of the output range
// starting at row `first`, vector j at out[j * stride].
struct Dest {
  float* out;
  uint64_t stride, r0, first, lo, hi;
};

// G halves (from `sub0`) of an expanded panel against NV vectors: one
// accumulator per (row, vector), a plain chain over the columns.
template <int G, int NV>
VORPEL_AVX512 void gemm_tile(const float* panel, uint64_t sub0, const float* x, uint64_t pc, const Dest& o) {
  __m512 acc[G][NV];
  for (int g = 0; g < G; ++g)
    for (int j = 0; j < NV; ++j) acc[g][j] = _mm512_setzero_ps();
  // Claim the next group's output lines now: with many rows each vector's
  // outputs are far apart, and the stores would otherwise wait on memory.
  for (int j = 0; j < NV; ++j) {
    const uintptr_t next = reinterpret_cast<uintptr_t>(o.out + j * o.stride) +
                           (o.r0 + kGroupRows - o.first) * sizeof(float);
    __builtin_prefetch(reinterpret_cast<const void*>(next), 1, 3);
    __builtin_prefetch(reinterpret_cast<const void*>(next + 64), 1, 3);
  }
  const float* w = panel + kSubRows * sub0;
  for (uint64_t c = 0; c < pc; ++c, w += kGroupRows) {
    __m512 wv[G];
    for (int g = 0; g < G; ++g) wv[g] = _mm512_load_ps(w + kSubRows * g);
    for (int j = 0; j < NV; ++j) {
      const __m512 xb = _mm512_set1_ps(x[j * pc + c]);
      for (int g = 0; g < G; ++g) acc[g][j] = _mm512_fmadd_ps(wv[g], xb, acc[g][j]);
    }
  }
  for (int g = 0; g < G; ++g) {
    const uint64_t l0 = kSubRows * (sub0 + g);
    const uint64_t a = std::max(o.lo, l0), e = std::min(o.hi, l0 + kSubRows);
    for (int j = 0; j < NV; ++j) {
      float* dst = o.out + j * o.stride + (o.r0 + a - o.first);
      if (a == l0 && e == l0 + kSubRows) {
        _mm512_storeu_ps(dst, acc[g][j]);
      } else {
        alignas(64) float tmp[kSubRows];
        _mm512_store_ps(tmp, acc[g][j]);
        std::memcpy(dst, tmp + (a - l0), (e - a) * sizeof(float));
      }
    }
  }
}

constexpr uint64_t kTileVectors = 12;
using TileFn = void (*)(const float*, uint64_t, const float*, uint64_t, const Dest&);
constexpr TileFn kTiles2[kTileVectors] = {gemm_tile<2, 1>, gemm_tile<2, 2>, gemm_tile<2, 3>,  gemm_tile<2, 4>,
                                          gemm_tile<2, 5>, gemm_tile<2, 6>, gemm_tile<2, 7>,  gemm_tile<2, 8>,
                                          gemm_tile<2, 9>, gemm_tile<2, 10>, gemm_tile<2, 11>, gemm_tile<2, 12>};
constexpr TileFn kTiles1[kTileVectors] = {gemm_tile<1, 1>, gemm_tile<1, 2>, gemm_tile<1, 3>,  gemm_tile<1, 4>,
                                          gemm_tile<1, 5>, gemm_tile<1, 6>, gemm_tile<1, 7>,  gemm_tile<1, 8>,
                                          gemm_tile<1, 9>, gemm_tile<1, 10>, gemm_tile<1, 11>, gemm_tile<1, 12>};

// Each group is expanded once into the panel (L1/L2) and reused by every vector.
template <int BITS>
VORPEL_AVX512 void batch_bits(const View& v, const float* x, uint64_t nvec, uint64_t first, uint64_t count,
                              float* out, uint64_t out_stride, float* panel) {
  const Dec<BITS> d = make_dec<BITS>(v);
  const uint64_t pc = v.padded_cols, end = first + count;
  for (uint64_t g = first / kGroupRows; g * kGroupRows < end; ++g) {
    const uint64_t r0 = g * kGroupRows;
    const Dest o{out, out_stride, r0, first, std::max(first, r0) - r0, std::min(end, r0 + kGroupRows) - r0};
    expand_group<BITS>(v, d, v.packed + g * v.group_bytes, panel);
    const bool both = o.lo < kSubRows && o.hi > kSubRows;
    const uint64_t sub0 = both ? 0 : (o.lo >= kSubRows ? 1 : 0);
    const TileFn* fns = both ? kTiles2 : kTiles1;
    // The next group's codes, spread over this group's tiles, so that its
    // expansion does not start on cold memory.
    const uint8_t* next = v.packed + (g + 1) * v.group_bytes;
    const uint64_t lines = v.group_bytes / 64, per_tile = lines / ((nvec - 1) / kTileVectors + 1) + 1;
    uint64_t line = 0;
    for (uint64_t j = 0; j < nvec; j += kTileVectors) {
      for (uint64_t e = std::min(lines, line + per_tile); line < e; ++line)
        _mm_prefetch(reinterpret_cast<const char*>(next + 64 * line), _MM_HINT_T0);
      const uint64_t nv = std::min(kTileVectors, nvec - j);
      Dest oj = o;
      oj.out = out + j * out_stride;
      fns[nv - 1](panel, sub0, x + j * pc, pc, oj);
    }
  }
}

}  // namespace

VORPEL_AVX512 void rows_avx512(const View& v, const float* x_rot, uint64_t first, uint64_t count, float* y) {
  if (v.bits == 2) return rows_2bit(v, x_rot, first, count, y);
  rows_bits<4>(v, x_rot, first, count, y);
}

VORPEL_AVX512 void batch_avx512(const View& v, const float* x, uint64_t nvec, uint64_t first, uint64_t count,
                                float* out, uint64_t out_stride, float* panel) {
  if (v.bits == 2) return batch_bits<2>(v, x, nvec, first, count, out, out_stride, panel);
  batch_bits<4>(v, x, nvec, first, count, out, out_stride, panel);
}

}  // namespace vorpel::cq::detail

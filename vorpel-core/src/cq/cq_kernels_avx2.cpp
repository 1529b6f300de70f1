// AVX2 CQ kernels on the row-group layout: one register holds 8 rows of one
// column; a tile of 8 columns becomes 8 register permutes of the codebook
// (two and a blend for 16 entries), each times one broadcast input value.
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "cq_internal.hpp"

#define VORPEL_AVX2 __attribute__((target("avx2,fma,f16c")))

namespace vorpel::cq::detail {
namespace {

constexpr uint64_t kPrefetch = 12288;  // bytes ahead in the packed stream
constexpr uint64_t kQuarterRows = 8;  // rows per register

// BITS: lane bits per code (2 or 4).
template <int BITS>
struct Dec {
  __m256 lo, hi;  // code values 0..7 and 8..15 (2-bit values repeat in lo)
};

template <int BITS>
VORPEL_AVX2 inline Dec<BITS> make_dec(const View& v) {
  alignas(32) float lo[8], hi[8];
  for (int i = 0; i < 8; ++i) {
    lo[i] = v.cv[i & ((1 << BITS) - 1) & 7];
    hi[i] = BITS == 4 ? v.cv[8 + i] : 0.0f;
  }
  return Dec<BITS>{_mm256_load_ps(lo), _mm256_load_ps(hi)};
}

// Lane i = the BITS bytes of row i of an 8-row quarter tile, as a dword.
template <int BITS>
VORPEL_AVX2 inline __m256i lanes(const Dec<BITS>&, const uint8_t* p) {
  if constexpr (BITS == 4) return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
  else return _mm256_cvtepu16_epi32(_mm_load_si128(reinterpret_cast<const __m128i*>(p)));
}

// Code S of every lane as its codebook value; the permute reads the low 3
// bits of each lane, so the codes above need no mask.
template <int BITS, int S>
VORPEL_AVX2 inline __m256 value(const Dec<BITS>& d, __m256i w) {
  const __m256i idx = S == 0 ? w : _mm256_srli_epi32(w, BITS * S);
  if constexpr (BITS == 4) {
    // Bit 3 of the code chooses the upper half of the codebook.
    return _mm256_blendv_ps(_mm256_permutevar8x32_ps(d.lo, idx), _mm256_permutevar8x32_ps(d.hi, idx),
                            _mm256_castsi256_ps(_mm256_slli_epi32(idx, 28)));
  } else {
    return _mm256_permutevar8x32_ps(d.lo, idx);
  }
}

template <int BITS, int Q, int S>
VORPEL_AVX2 inline void step(const Dec<BITS>& d, const __m256i* w, const float* xq, __m256 (*p)[4]) {
  const __m256 xs = _mm256_broadcast_ss(xq + S);
  for (int g = 0; g < Q; ++g) p[g][S & 3] = _mm256_fmadd_ps(value<BITS, S>(d, w[g]), xs, p[g][S & 3]);
}

// Rows of Q quarters of one group, from quarter `q0`: out[g] holds 8 row products.
template <int BITS, int Q>
VORPEL_AVX2 void pass(const View& v, const Dec<BITS>& d, const float* x, const uint8_t* group, uint64_t q0,
                      __m256* out) {
  constexpr uint64_t kTile = kGroupRows * BITS, kQuarter = kQuarterRows * BITS;
  const uint64_t tiles = v.b / kTileCols;
  __m256 acc[Q];
  for (int g = 0; g < Q; ++g) acc[g] = _mm256_setzero_ps();
  const uint8_t* block = group;
  for (uint64_t k = 0; k < v.bpr; ++k, block += v.block_bytes, x += v.b) {
    _mm_prefetch(reinterpret_cast<const char*>(block + kPrefetch), _MM_HINT_T0);
    __m256 p[Q][4];
    for (int g = 0; g < Q; ++g)
      for (int a = 0; a < 4; ++a) p[g][a] = _mm256_setzero_ps();
    const uint8_t* tile = block + kScaleBytes;
    for (uint64_t q = 0; q < tiles; ++q, tile += kTile) {
      _mm_prefetch(reinterpret_cast<const char*>(tile + kPrefetch), _MM_HINT_T0);
      if constexpr (kTile > 64) _mm_prefetch(reinterpret_cast<const char*>(tile + kPrefetch + 64), _MM_HINT_T0);
      __m256i w[Q];
      for (int g = 0; g < Q; ++g) w[g] = lanes<BITS>(d, tile + (q0 + g) * kQuarter);
      const float* xq = x + q * kTileCols;
      step<BITS, Q, 0>(d, w, xq, p);
      step<BITS, Q, 1>(d, w, xq, p);
      step<BITS, Q, 2>(d, w, xq, p);
      step<BITS, Q, 3>(d, w, xq, p);
      step<BITS, Q, 4>(d, w, xq, p);
      step<BITS, Q, 5>(d, w, xq, p);
      step<BITS, Q, 6>(d, w, xq, p);
      step<BITS, Q, 7>(d, w, xq, p);
    }
    for (int g = 0; g < Q; ++g) {
      const __m256 sc = _mm256_cvtph_ps(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 2 * kQuarterRows * (q0 + g))));
      const __m256 sum = _mm256_add_ps(_mm256_add_ps(p[g][0], p[g][1]), _mm256_add_ps(p[g][2], p[g][3]));
      acc[g] = _mm256_fmadd_ps(sum, sc, acc[g]);
    }
  }
  for (int g = 0; g < Q; ++g) out[g] = acc[g];
}

template <int BITS>
VORPEL_AVX2 void rows_bits(const View& v, const float* x, uint64_t first, uint64_t count, float* y) {
  const Dec<BITS> d = make_dec<BITS>(v);
  const uint64_t end = first + count;
  for (uint64_t g = first / kGroupRows; g * kGroupRows < end; ++g) {
    const uint64_t r0 = g * kGroupRows;
    const uint64_t lo = std::max(first, r0) - r0, hi = std::min(end, r0 + kGroupRows) - r0;
    const uint8_t* group = v.packed + g * v.group_bytes;
    alignas(32) float res[kGroupRows];
    // Quarters lo / 8 .. (hi - 1) / 8, two per pass.
    uint64_t q = lo / kQuarterRows;
    const uint64_t q_end = (hi - 1) / kQuarterRows + 1;
    for (; q + 2 <= q_end; q += 2) {
      __m256 out[2];
      pass<BITS, 2>(v, d, x, group, q, out);
      _mm256_store_ps(res + q * kQuarterRows, out[0]);
      _mm256_store_ps(res + (q + 1) * kQuarterRows, out[1]);
    }
    if (q < q_end) {
      __m256 out[1];
      pass<BITS, 1>(v, d, x, group, q, out);
      _mm256_store_ps(res + q * kQuarterRows, out[0]);
    }
    std::memcpy(y + (r0 + lo - first), res + lo, (hi - lo) * sizeof(float));
  }
}

// The group's 32 rows with scales applied, column-major: panel[c * 32 + lane].
template <int BITS, int S>
VORPEL_AVX2 inline void expand_col(const Dec<BITS>& d, __m256i w, __m256 sc, float* p) {
  _mm256_store_ps(p + S * kGroupRows, _mm256_mul_ps(value<BITS, S>(d, w), sc));
}

template <int BITS>
VORPEL_AVX2 void expand_group(const View& v, const Dec<BITS>& d, const uint8_t* group, float* panel) {
  constexpr uint64_t kTile = kGroupRows * BITS, kQuarter = kQuarterRows * BITS;
  const uint64_t tiles = v.b / kTileCols;
  const uint8_t* block = group;
  for (uint64_t k = 0; k < v.bpr; ++k, block += v.block_bytes) {
    const uint8_t* tile = block + kScaleBytes;
    for (uint64_t q = 0; q < tiles; ++q, tile += kTile, panel += kTileCols * kGroupRows) {
      for (uint64_t g = 0; g < 4; ++g) {
        const __m256 sc =
            _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 2 * kQuarterRows * g)));
        const __m256i w = lanes<BITS>(d, tile + g * kQuarter);
        float* p = panel + kQuarterRows * g;
        expand_col<BITS, 0>(d, w, sc, p);
        expand_col<BITS, 1>(d, w, sc, p);
        expand_col<BITS, 2>(d, w, sc, p);
        expand_col<BITS, 3>(d, w, sc, p);
        expand_col<BITS, 4>(d, w, sc, p);
        expand_col<BITS, 5>(d, w, sc, p);
        expand_col<BITS, 6>(d, w, sc, p);
        expand_col<BITS, 7>(d, w, sc, p);
      }
    }
  }
}

struct Dest {
  float* out;
  uint64_t stride, r0, first, lo, hi;
};

// Q quarters (from `q0`) of an expanded panel against NV vectors: one
// accumulator per (row, vector), a plain chain over the columns.
template <int Q, int NV>
VORPEL_AVX2 void gemm_tile(const float* panel, uint64_t q0, const float* x, uint64_t pc, const Dest& o) {
  __m256 acc[Q][NV];
  for (int g = 0; g < Q; ++g)
    for (int j = 0; j < NV; ++j) acc[g][j] = _mm256_setzero_ps();
  const float* w = panel + kQuarterRows * q0;
  for (uint64_t c = 0; c < pc; ++c, w += kGroupRows) {
    __m256 wv[Q];
    for (int g = 0; g < Q; ++g) wv[g] = _mm256_load_ps(w + kQuarterRows * g);
    for (int j = 0; j < NV; ++j) {
      const __m256 xb = _mm256_broadcast_ss(x + j * pc + c);
      for (int g = 0; g < Q; ++g) acc[g][j] = _mm256_fmadd_ps(wv[g], xb, acc[g][j]);
    }
  }
  for (int g = 0; g < Q; ++g) {
    const uint64_t l0 = kQuarterRows * (q0 + g);
    const uint64_t a = std::max(o.lo, l0), e = std::min(o.hi, l0 + kQuarterRows);
    for (int j = 0; j < NV; ++j) {
      float* dst = o.out + j * o.stride + (o.r0 + a - o.first);
      if (a == l0 && e == l0 + kQuarterRows) {
        _mm256_storeu_ps(dst, acc[g][j]);
      } else {
        alignas(32) float tmp[kQuarterRows];
        _mm256_store_ps(tmp, acc[g][j]);
        std::memcpy(dst, tmp + (a - l0), (e - a) * sizeof(float));
      }
    }
  }
}

constexpr uint64_t kTileVectors = 6;
using TileFn = void (*)(const float*, uint64_t, const float*, uint64_t, const Dest&);
constexpr TileFn kTiles2[kTileVectors] = {gemm_tile<2, 1>, gemm_tile<2, 2>, gemm_tile<2, 3>,
                                          gemm_tile<2, 4>, gemm_tile<2, 5>, gemm_tile<2, 6>};
constexpr TileFn kTiles1[kTileVectors] = {gemm_tile<1, 1>, gemm_tile<1, 2>, gemm_tile<1, 3>,
                                          gemm_tile<1, 4>, gemm_tile<1, 5>, gemm_tile<1, 6>};

template <int BITS>
VORPEL_AVX2 void batch_bits(const View& v, const float* x, uint64_t nvec, uint64_t first, uint64_t count,
                            float* out, uint64_t out_stride, float* panel) {
  const Dec<BITS> d = make_dec<BITS>(v);
  const uint64_t pc = v.padded_cols, end = first + count;
  for (uint64_t g = first / kGroupRows; g * kGroupRows < end; ++g) {
    const uint64_t r0 = g * kGroupRows;
    const Dest o{out, out_stride, r0, first, std::max(first, r0) - r0, std::min(end, r0 + kGroupRows) - r0};
    expand_group<BITS>(v, d, v.packed + g * v.group_bytes, panel);
    const uint64_t q_end = (o.hi - 1) / kQuarterRows + 1;
    for (uint64_t q = o.lo / kQuarterRows; q < q_end; q += 2) {
      const TileFn* fns = q + 2 <= q_end ? kTiles2 : kTiles1;
      for (uint64_t j = 0; j < nvec; j += kTileVectors) {
        const uint64_t nv = std::min(kTileVectors, nvec - j);
        Dest oj = o;
        oj.out = out + j * out_stride;
        fns[nv - 1](panel, q, x + j * pc, pc, oj);
      }
    }
  }
}

}  // namespace

VORPEL_AVX2 void rows_avx2(const View& v, const float* x_rot, uint64_t first, uint64_t count, float* y) {
  if (v.bits == 2) return rows_bits<2>(v, x_rot, first, count, y);
  rows_bits<4>(v, x_rot, first, count, y);
}

VORPEL_AVX2 void batch_avx2(const View& v, const float* x, uint64_t nvec, uint64_t first, uint64_t count,
                            float* out, uint64_t out_stride, float* panel) {
  if (v.bits == 2) return batch_bits<2>(v, x, nvec, first, count, out, out_stride, panel);
  batch_bits<4>(v, x, nvec, first, count, out, out_stride, panel);
}

}  // namespace vorpel::cq::detail

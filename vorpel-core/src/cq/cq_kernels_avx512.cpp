// AVX-512 CQ kernels, sixteen codes per step (blocks of 8 use the AVX2 ones).
// A group of 16 codes is 4, 6 or 8 whole bytes; its codes are spread over the
// lanes with per-lane shifts (after a dword permute where the group spans two
// dwords), then a 16-entry register permute yields the codebook values. The
// 4-bit row kernel skips the dword permute and reorders the input instead.
// GCC 12 flags the intrinsics' own "undefined" upper halves as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <cstring>

#include "cq_internal.hpp"

#define VORPEL_AVX512 __attribute__((target("avx2,fma,avx512f,avx512bw,avx512dq,avx512vl")))

namespace vorpel::cq::detail {
namespace {

struct Dec {
  __m512 values;   // code values, repeated for 2- and 3-bit codes
  __m512i select;  // source dword of each lane (3- and 4-bit)
  __m512i shift;   // per-lane shift of that dword
};

template <int BITS>
VORPEL_AVX512 inline Dec make_dec(const View& v) {
  alignas(64) float vals[16];
  alignas(64) int32_t sel[16], sh[16];
  for (int i = 0; i < 16; ++i) {
    vals[i] = v.cv[i & ((1 << BITS) - 1)];
    sel[i] = i < 8 ? 0 : 1;
    sh[i] = BITS == 2 ? i * 2 : (i & 7) * BITS;
  }
  return Dec{_mm512_load_ps(vals), _mm512_load_si512(sel), _mm512_load_si512(sh)};
}

// The 16 code values of the group starting at byte p.
template <int BITS>
VORPEL_AVX512 inline __m512 decode(const Dec& d, const uint8_t* p) {
  __m512i words;
  if constexpr (BITS == 2) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    words = _mm512_set1_epi32(static_cast<int>(w));
  } else {
    uint64_t w;
    std::memcpy(&w, p, 8);  // may read past the group: other codes or the slack
    if constexpr (BITS == 3) w = (w & 0xFFFFFF) | (((w >> 24) & 0xFFFFFF) << 32);  // 8 codes per dword
    words = _mm512_permutexvar_epi32(d.select, _mm512_castsi128_si512(_mm_cvtsi64_si128(static_cast<long long>(w))));
  }
  // The value permute reads the low 4 bits of each lane; the value table
  // repeats with the code width, so higher bits of the next codes do not matter.
  return _mm512_permutexvar_ps(_mm512_srlv_epi32(words, d.shift), d.values);
}

// 4-bit codes for the row kernel without a dword permute: from one broadcast
// 8-byte word, a dword shift of 4m gives lane 2m code m and lane 2m+1 code
// 8+m; the row kernel feeds the input through the same lane order (one permute
// per group of 16, shared by all rows of the pass). 3-bit rows go to the
// 8-wide kernel: measured on a core that splits 512-bit operations in two,
// every 16-wide 3-bit decode tried lost to it.
template <int BITS>
struct DecLanes {
  __m512 values;  // code values
  __m512i shift;  // per-dword shift
  __m512i order;  // input position of each lane
};

template <int BITS>
VORPEL_AVX512 inline DecLanes<BITS> make_dec_lanes(const View& v) {
  static_assert(BITS == 4);
  alignas(64) float vals[16];
  alignas(64) int32_t sh[16], ord[16];
  for (int i = 0; i < 16; ++i) {
    vals[i] = v.cv[i];
    sh[i] = 4 * (i / 2);
    ord[i] = (i % 2) * 8 + i / 2;
  }
  return DecLanes<BITS>{_mm512_load_ps(vals), _mm512_load_si512(sh), _mm512_load_si512(ord)};
}

template <int BITS>
VORPEL_AVX512 inline __m512 decode_lanes(const DecLanes<BITS>& d, const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  const __m512i words = _mm512_set1_epi64(static_cast<long long>(w));
  return _mm512_permutexvar_ps(_mm512_srlv_epi32(words, d.shift), d.values);
}

template <int BITS, int R>
VORPEL_AVX512 void rows_group_lanes(const View& v, const DecLanes<BITS>& d, const float* x, uint64_t r0,
                                    float* y) {
  const uint8_t* row[R];
  const float* s[R];
  __m512 acc[R];
  for (int r = 0; r < R; ++r) {
    row[r] = v.codes + (r0 + r) * v.row_bytes;
    s[r] = v.scales + (r0 + r) * v.bpr;
    acc[r] = _mm512_setzero_ps();
  }
  const uint64_t b = v.b;
  for (uint64_t blk = 0; blk < v.bpr; ++blk) {
    __m512 part[R];
    for (int r = 0; r < R; ++r) part[r] = _mm512_setzero_ps();
    for (uint64_t j = blk * b; j < (blk + 1) * b; j += 16) {
      const __m512 xv = _mm512_permutexvar_ps(d.order, _mm512_loadu_ps(x + j));
      const uint64_t off = j * BITS / 8;
      for (int r = 0; r < R; ++r) part[r] = _mm512_fmadd_ps(decode_lanes<BITS>(d, row[r] + off), xv, part[r]);
    }
    for (int r = 0; r < R; ++r) acc[r] = _mm512_fmadd_ps(part[r], _mm512_set1_ps(s[r][blk]), acc[r]);
  }
  for (int r = 0; r < R; ++r) y[r] = _mm512_reduce_add_ps(acc[r]);
}

template <int BITS>
VORPEL_AVX512 void rows_bits_lanes(const View& v, const float* x, uint64_t first, uint64_t count, float* y) {
  const DecLanes<BITS> d = make_dec_lanes<BITS>(v);
  uint64_t i = 0;
  for (; i + 4 <= count; i += 4) rows_group_lanes<BITS, 4>(v, d, x, first + i, y + i);
  for (; i < count; ++i) rows_group_lanes<BITS, 1>(v, d, x, first + i, y + i);
}

template <int BITS, int R>
VORPEL_AVX512 void rows_group(const View& v, const Dec& d, const float* x, uint64_t r0, float* y) {
  const uint8_t* row[R];
  const float* s[R];
  __m512 acc[R];
  for (int r = 0; r < R; ++r) {
    row[r] = v.codes + (r0 + r) * v.row_bytes;
    s[r] = v.scales + (r0 + r) * v.bpr;
    acc[r] = _mm512_setzero_ps();
  }
  const uint64_t b = v.b;
  for (uint64_t blk = 0; blk < v.bpr; ++blk) {
    __m512 part[R];
    for (int r = 0; r < R; ++r) part[r] = _mm512_setzero_ps();
    for (uint64_t j = blk * b; j < (blk + 1) * b; j += 16) {
      const __m512 xv = _mm512_loadu_ps(x + j);
      const uint64_t off = j * BITS / 8;
      for (int r = 0; r < R; ++r) part[r] = _mm512_fmadd_ps(decode<BITS>(d, row[r] + off), xv, part[r]);
    }
    for (int r = 0; r < R; ++r) acc[r] = _mm512_fmadd_ps(part[r], _mm512_set1_ps(s[r][blk]), acc[r]);
  }
  for (int r = 0; r < R; ++r) y[r] = _mm512_reduce_add_ps(acc[r]);
}

template <int BITS>
VORPEL_AVX512 void rows_bits(const View& v, const float* x, uint64_t first, uint64_t count, float* y) {
  const Dec d = make_dec<BITS>(v);
  uint64_t i = 0;
  for (; i + 4 <= count; i += 4) rows_group<BITS, 4>(v, d, x, first + i, y + i);
  for (; i < count; ++i) rows_group<BITS, 1>(v, d, x, first + i, y + i);
}

template <int BITS>
VORPEL_AVX512 void expand_bits(const View& v, uint64_t r, float* dst) {
  const Dec d = make_dec<BITS>(v);
  const uint8_t* row = v.codes + r * v.row_bytes;
  const float* s = v.scales + r * v.bpr;
  for (uint64_t blk = 0; blk < v.bpr; ++blk) {
    const __m512 sc = _mm512_set1_ps(s[blk]);
    for (uint64_t j = blk * v.b; j < (blk + 1) * v.b; j += 16)
      _mm512_storeu_ps(dst + j, _mm512_mul_ps(decode<BITS>(d, row + j * BITS / 8), sc));
  }
}

// NR expanded rows (w, pc apart) against NV vectors (x, pc apart): one
// accumulator per pair, so every output sees the same FMA sequence whatever
// the tile shape. out[j * out_stride + r].
template <int NR, int NV>
VORPEL_AVX512 inline void dot_tile(const float* w, const float* x, uint64_t pc, float* out, uint64_t out_stride) {
  __m512 acc[NR][NV];
  for (int r = 0; r < NR; ++r)
    for (int j = 0; j < NV; ++j) acc[r][j] = _mm512_setzero_ps();
  for (uint64_t c = 0; c < pc; c += 16) {
    __m512 xv[NV];
    for (int j = 0; j < NV; ++j) xv[j] = _mm512_loadu_ps(x + j * pc + c);
    for (int r = 0; r < NR; ++r) {
      const __m512 wv = _mm512_loadu_ps(w + r * pc + c);
      for (int j = 0; j < NV; ++j) acc[r][j] = _mm512_fmadd_ps(wv, xv[j], acc[r][j]);
    }
  }
  for (int r = 0; r < NR; ++r)
    for (int j = 0; j < NV; ++j) out[j * out_stride + r] = _mm512_reduce_add_ps(acc[r][j]);
}

}  // namespace

VORPEL_AVX512 void rows_avx512(const View& v, const float* x_rot, uint64_t first, uint64_t count, float* y) {
  if (v.b < 16) return rows_avx2(v, x_rot, first, count, y);
  switch (v.bits) {
    case 2: rows_bits<2>(v, x_rot, first, count, y); break;
    case 3: rows_avx2(v, x_rot, first, count, y); break;
    default: rows_bits_lanes<4>(v, x_rot, first, count, y); break;
  }
}

VORPEL_AVX512 void expand_avx512(const View& v, uint64_t r, float* dst) {
  if (v.b < 16) return expand_avx2(v, r, dst);
  switch (v.bits) {
    case 2: expand_bits<2>(v, r, dst); break;
    case 3: expand_bits<3>(v, r, dst); break;
    default: expand_bits<4>(v, r, dst); break;
  }
}

VORPEL_AVX512 void batch_avx512(const View& v, const float* x, uint64_t nvec, uint64_t first, uint64_t count,
                                float* out, uint64_t out_stride, float* buf) {
  if (v.b < 16) return batch_avx2(v, x, nvec, first, count, out, out_stride, buf);
  const uint64_t pc = v.padded_cols;
  for (uint64_t i0 = 0; i0 < count; i0 += kBatchRows) {
    const uint64_t nr = count - i0 < kBatchRows ? count - i0 : kBatchRows;
    for (uint64_t k = 0; k < nr; ++k) expand_avx512(v, first + i0 + k, buf + k * pc);
    float* o = out + i0;
    if (nr == kBatchRows) {
      uint64_t j = 0;
      for (; j + 4 <= nvec; j += 4) dot_tile<4, 4>(buf, x + j * pc, pc, o + j * out_stride, out_stride);
      for (; j < nvec; ++j) dot_tile<4, 1>(buf, x + j * pc, pc, o + j * out_stride, out_stride);
    } else {
      for (uint64_t k = 0; k < nr; ++k)
        for (uint64_t j = 0; j < nvec; ++j) dot_tile<1, 1>(buf + k * pc, x + j * pc, pc, o + j * out_stride + k, out_stride);
    }
  }
}

}  // namespace vorpel::cq::detail

// AVX2 CQ kernels, eight codes per step. A group of 8 codes is 2, 3 or 4 whole
// bytes (blocks are multiples of 8), so one word load, a per-lane shift and a
// register permute turn it into 8 codebook values without a table walk.
#include <immintrin.h>

#include <cstring>

#include "cq_internal.hpp"
#include "vorpel/core/simd.hpp"

#define VORPEL_AVX2 __attribute__((target("avx2,fma")))

namespace vorpel::cq::detail {
namespace {

struct Dec {
  __m256 lo, hi;  // code values 0..7 and 8..15 (2-bit values repeat in lo)
  __m256i shift;  // lane t shifts the group word by t * bits
};

template <int BITS>
VORPEL_AVX2 inline Dec make_dec(const View& v) {
  alignas(32) float lo[8], hi[8];
  alignas(32) int32_t sh[8];
  for (int i = 0; i < 8; ++i) {
    lo[i] = v.cv[i & ((1 << BITS) - 1) & 7];
    hi[i] = BITS == 4 ? v.cv[8 + i] : 0.0f;
    sh[i] = i * BITS;
  }
  return Dec{_mm256_load_ps(lo), _mm256_load_ps(hi), _mm256_load_si256(reinterpret_cast<const __m256i*>(sh))};
}

// The 8 code values of the group starting at byte p.
template <int BITS>
VORPEL_AVX2 inline __m256 decode(const Dec& d, const uint8_t* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);  // may read past the group: other codes or the slack
  const __m256i idx = _mm256_srlv_epi32(_mm256_set1_epi32(static_cast<int>(w)), d.shift);
  // The permute reads only the low 3 bits of each lane, so bits of the next
  // codes above them do not matter.
  if constexpr (BITS == 4) {
    const __m256 lo = _mm256_permutevar8x32_ps(d.lo, idx);
    const __m256 hi = _mm256_permutevar8x32_ps(d.hi, idx);
    // Bit 3 of the code chooses the upper half of the codebook.
    return _mm256_blendv_ps(lo, hi, _mm256_castsi256_ps(_mm256_slli_epi32(idx, 28)));
  } else {
    return _mm256_permutevar8x32_ps(d.lo, idx);
  }
}

using simd::hsum;

// R rows at once share the input loads and keep R independent FMA chains.
template <int BITS, int R>
VORPEL_AVX2 void rows_group(const View& v, const Dec& d, const float* x, uint64_t r0, float* y) {
  const uint8_t* row[R];
  const float* s[R];
  __m256 acc[R];
  for (int r = 0; r < R; ++r) {
    row[r] = v.codes + (r0 + r) * v.row_bytes;
    s[r] = v.scales + (r0 + r) * v.bpr;
    acc[r] = _mm256_setzero_ps();
  }
  const uint64_t b = v.b;
  for (uint64_t blk = 0; blk < v.bpr; ++blk) {
    __m256 part[R];
    for (int r = 0; r < R; ++r) part[r] = _mm256_setzero_ps();
    for (uint64_t j = blk * b; j < (blk + 1) * b; j += 8) {
      const __m256 xv = _mm256_loadu_ps(x + j);
      const uint64_t off = j * BITS / 8;
      for (int r = 0; r < R; ++r) part[r] = _mm256_fmadd_ps(decode<BITS>(d, row[r] + off), xv, part[r]);
    }
    for (int r = 0; r < R; ++r) acc[r] = _mm256_fmadd_ps(part[r], _mm256_set1_ps(s[r][blk]), acc[r]);
  }
  for (int r = 0; r < R; ++r) y[r] = hsum(acc[r]);
}

template <int BITS>
VORPEL_AVX2 void rows_bits(const View& v, const float* x, uint64_t first, uint64_t count, float* y) {
  const Dec d = make_dec<BITS>(v);
  uint64_t i = 0;
  for (; i + 4 <= count; i += 4) rows_group<BITS, 4>(v, d, x, first + i, y + i);
  for (; i < count; ++i) rows_group<BITS, 1>(v, d, x, first + i, y + i);
}

template <int BITS>
VORPEL_AVX2 void expand_bits(const View& v, uint64_t r, float* dst) {
  const Dec d = make_dec<BITS>(v);
  const uint8_t* row = v.codes + r * v.row_bytes;
  const float* s = v.scales + r * v.bpr;
  for (uint64_t blk = 0; blk < v.bpr; ++blk) {
    const __m256 sc = _mm256_set1_ps(s[blk]);
    for (uint64_t j = blk * v.b; j < (blk + 1) * v.b; j += 8)
      _mm256_storeu_ps(dst + j, _mm256_mul_ps(decode<BITS>(d, row + j * BITS / 8), sc));
  }
}

}  // namespace

VORPEL_AVX2 void rows_avx2(const View& v, const float* x_rot, uint64_t first, uint64_t count, float* y) {
  switch (v.bits) {
    case 2: rows_bits<2>(v, x_rot, first, count, y); break;
    case 3: rows_bits<3>(v, x_rot, first, count, y); break;
    default: rows_bits<4>(v, x_rot, first, count, y); break;
  }
}

VORPEL_AVX2 void expand_avx2(const View& v, uint64_t r, float* dst) {
  switch (v.bits) {
    case 2: expand_bits<2>(v, r, dst); break;
    case 3: expand_bits<3>(v, r, dst); break;
    default: expand_bits<4>(v, r, dst); break;
  }
}

// Rows are expanded kBatchRows at a time; each vector then streams once over
// them with one accumulator per row, two vectors per pass.
VORPEL_AVX2 void batch_avx2(const View& v, const float* x, uint64_t nvec, uint64_t first, uint64_t count,
                            float* out, uint64_t out_stride, float* buf) {
  const uint64_t pc = v.padded_cols;
  for (uint64_t i0 = 0; i0 < count; i0 += kBatchRows) {
    const uint64_t nr = count - i0 < kBatchRows ? count - i0 : kBatchRows;
    for (uint64_t k = 0; k < nr; ++k) expand_avx2(v, first + i0 + k, buf + k * pc);
    if (nr == kBatchRows) {
      const float* w0 = buf;
      const float* w1 = buf + pc;
      const float* w2 = buf + 2 * pc;
      const float* w3 = buf + 3 * pc;
      uint64_t j = 0;
      for (; j + 2 <= nvec; j += 2) {
        const float* xa = x + j * pc;
        const float* xb = xa + pc;
        __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
        __m256 b0 = a0, b1 = a0, b2 = a0, b3 = a0;
        for (uint64_t c = 0; c < pc; c += 8) {
          const __m256 xva = _mm256_loadu_ps(xa + c), xvb = _mm256_loadu_ps(xb + c);
          const __m256 v0 = _mm256_loadu_ps(w0 + c), v1 = _mm256_loadu_ps(w1 + c);
          const __m256 v2 = _mm256_loadu_ps(w2 + c), v3 = _mm256_loadu_ps(w3 + c);
          a0 = _mm256_fmadd_ps(v0, xva, a0);
          a1 = _mm256_fmadd_ps(v1, xva, a1);
          a2 = _mm256_fmadd_ps(v2, xva, a2);
          a3 = _mm256_fmadd_ps(v3, xva, a3);
          b0 = _mm256_fmadd_ps(v0, xvb, b0);
          b1 = _mm256_fmadd_ps(v1, xvb, b1);
          b2 = _mm256_fmadd_ps(v2, xvb, b2);
          b3 = _mm256_fmadd_ps(v3, xvb, b3);
        }
        float* oa = out + j * out_stride + i0;
        float* ob = oa + out_stride;
        oa[0] = hsum(a0), oa[1] = hsum(a1), oa[2] = hsum(a2), oa[3] = hsum(a3);
        ob[0] = hsum(b0), ob[1] = hsum(b1), ob[2] = hsum(b2), ob[3] = hsum(b3);
      }
      for (; j < nvec; ++j) {
        const float* xa = x + j * pc;
        __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
        for (uint64_t c = 0; c < pc; c += 8) {
          const __m256 xva = _mm256_loadu_ps(xa + c);
          a0 = _mm256_fmadd_ps(_mm256_loadu_ps(w0 + c), xva, a0);
          a1 = _mm256_fmadd_ps(_mm256_loadu_ps(w1 + c), xva, a1);
          a2 = _mm256_fmadd_ps(_mm256_loadu_ps(w2 + c), xva, a2);
          a3 = _mm256_fmadd_ps(_mm256_loadu_ps(w3 + c), xva, a3);
        }
        float* oa = out + j * out_stride + i0;
        oa[0] = hsum(a0), oa[1] = hsum(a1), oa[2] = hsum(a2), oa[3] = hsum(a3);
      }
    } else {
      for (uint64_t j = 0; j < nvec; ++j) {
        const float* xa = x + j * pc;
        for (uint64_t k = 0; k < nr; ++k) {
          const float* w = buf + k * pc;
          __m256 a = _mm256_setzero_ps();
          for (uint64_t c = 0; c < pc; c += 8) a = _mm256_fmadd_ps(_mm256_loadu_ps(w + c), _mm256_loadu_ps(xa + c), a);
          out[j * out_stride + i0 + k] = hsum(a);
        }
      }
    }
  }
}

}  // namespace vorpel::cq::detail

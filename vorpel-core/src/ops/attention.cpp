// Attention over a cache view: the f32 and int8 score and weighted-sum
// kernels (portable and AVX2), and the walk over ring runs and head groups.
#include "vorpel/ops/attention.hpp"

// GCC 12 flags the AVX-512 intrinsics' own "undefined" upper halves as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>

#include "ops_internal.hpp"
#include "vorpel/core/panic.hpp"
#include "vorpel/core/simd.hpp"
#include "vorpel/ops/vector_ops.hpp"

namespace vorpel::ops {

namespace {

// ---- f32 rows ----------------------------------------------------------------

void scores_portable(const float* q, uint64_t G, const float* k, uint64_t stride, uint64_t n, uint64_t hd,
                     float scale, float* scores, uint64_t sstride) {
  for (uint64_t g = 0; g < G; ++g)
    for (uint64_t i = 0; i < n; ++i) scores[g * sstride + i] = detail::dot_portable(q + g * hd, k + i * stride, hd) / scale;
}

// Eight horizontal sums at once: lane i of the result is the sum of a[i].
__attribute__((target("avx2,fma"))) inline __m256 hsum8x8(const __m256* a) {
  const __m256 t0 = _mm256_hadd_ps(a[0], a[1]), t1 = _mm256_hadd_ps(a[2], a[3]);
  const __m256 t2 = _mm256_hadd_ps(a[4], a[5]), t3 = _mm256_hadd_ps(a[6], a[7]);
  const __m256 u0 = _mm256_hadd_ps(t0, t1), u1 = _mm256_hadd_ps(t2, t3);
  return _mm256_add_ps(_mm256_permute2f128_ps(u0, u1, 0x20), _mm256_permute2f128_ps(u0, u1, 0x31));
}

// R rows against GN queries (R*GN <= 8 independent FMA chains, each row loaded
// once); the sums are reduced and divided by the scale eight at a time.
template <int R, int GN>
__attribute__((target("avx2,fma"))) inline void scores_tile(const float* q, const float* k, uint64_t stride,
                                                            uint64_t hd, float scale, float* scores, uint64_t sstride) {
  static_assert(R * GN <= 8);
  const uint64_t hv = hd / 8 * 8;
  __m256 acc[8];
  for (int i = 0; i < 8; ++i) acc[i] = _mm256_setzero_ps();
  for (uint64_t c = 0; c < hv; c += 8) {
    __m256 kr[R];
    for (int r = 0; r < R; ++r) kr[r] = _mm256_loadu_ps(k + r * stride + c);
    for (int g = 0; g < GN; ++g) {
      const __m256 qv = _mm256_loadu_ps(q + g * hd + c);
      for (int r = 0; r < R; ++r) acc[g * R + r] = _mm256_fmadd_ps(kr[r], qv, acc[g * R + r]);
    }
  }
  alignas(32) float sum[8];
  _mm256_store_ps(sum, hsum8x8(acc));
  for (uint64_t c = hv; c < hd; ++c)
    for (int g = 0; g < GN; ++g)
      for (int r = 0; r < R; ++r) sum[g * R + r] += q[g * hd + c] * k[r * stride + c];
  _mm256_store_ps(sum, _mm256_div_ps(_mm256_load_ps(sum), _mm256_set1_ps(scale)));
  for (int g = 0; g < GN; ++g)
    for (int r = 0; r < R; ++r) scores[g * sstride + r] = sum[g * R + r];
}

template <int R, int GN>
__attribute__((target("avx2,fma"))) void scores_rows(const float* q, const float* k, uint64_t stride, uint64_t n,
                                                     uint64_t hd, float scale, float* scores, uint64_t sstride) {
  uint64_t i = 0;
  for (; i + R <= n; i += R) scores_tile<R, GN>(q, k + i * stride, stride, hd, scale, scores + i, sstride);
  for (; i < n; ++i) scores_tile<1, GN>(q, k + i * stride, stride, hd, scale, scores + i, sstride);
}

__attribute__((target("avx2,fma"))) void scores_avx2(const float* q, uint64_t G, const float* k, uint64_t stride,
                                                     uint64_t n, uint64_t hd, float scale, float* scores,
                                                     uint64_t sstride) {
  for (uint64_t g0 = 0; g0 < G; g0 += 4) {
    const float* qg = q + g0 * hd;
    float* sg = scores + g0 * sstride;
    switch (std::min<uint64_t>(4, G - g0)) {
      case 1: scores_rows<8, 1>(qg, k, stride, n, hd, scale, sg, sstride); break;
      case 2: scores_rows<4, 2>(qg, k, stride, n, hd, scale, sg, sstride); break;
      case 3: scores_rows<2, 3>(qg, k, stride, n, hd, scale, sg, sstride); break;
      default: scores_rows<2, 4>(qg, k, stride, n, hd, scale, sg, sstride); break;
    }
  }
}

void accumulate_portable(const float* w, uint64_t wstride, uint64_t G, const float* v, uint64_t stride, uint64_t n,
                         uint64_t hd, float* out) {
  for (uint64_t g = 0; g < G; ++g)
    for (uint64_t i = 0; i < n; ++i) detail::axpy_portable(out + g * hd, w[g * wstride + i], v + i * stride, hd);
}

// Column slices of 16 (two registers) for GN outputs held across all rows.
template <int GN>
__attribute__((target("avx2,fma"))) void accumulate_group(const float* w, uint64_t wstride, const float* v,
                                                          uint64_t stride, uint64_t n, uint64_t hd, float* out) {
  uint64_t c = 0;
  for (; c + 16 <= hd; c += 16) {
    __m256 a[GN][2];
    for (int g = 0; g < GN; ++g) {
      a[g][0] = _mm256_loadu_ps(out + g * hd + c);
      a[g][1] = _mm256_loadu_ps(out + g * hd + c + 8);
    }
    for (uint64_t i = 0; i < n; ++i) {
      const float* r = v + i * stride + c;
      const __m256 v0 = _mm256_loadu_ps(r), v1 = _mm256_loadu_ps(r + 8);
      for (int g = 0; g < GN; ++g) {
        const __m256 wi = _mm256_broadcast_ss(w + g * wstride + i);
        a[g][0] = _mm256_fmadd_ps(wi, v0, a[g][0]);
        a[g][1] = _mm256_fmadd_ps(wi, v1, a[g][1]);
      }
    }
    for (int g = 0; g < GN; ++g) {
      _mm256_storeu_ps(out + g * hd + c, a[g][0]);
      _mm256_storeu_ps(out + g * hd + c + 8, a[g][1]);
    }
  }
  for (; c < hd; ++c)
    for (int g = 0; g < GN; ++g) {
      float a = out[g * hd + c];
      for (uint64_t i = 0; i < n; ++i) a += w[g * wstride + i] * v[i * stride + c];
      out[g * hd + c] = a;
    }
}

__attribute__((target("avx2,fma"))) void accumulate_avx2(const float* w, uint64_t wstride, uint64_t G, const float* v,
                                                         uint64_t stride, uint64_t n, uint64_t hd, float* out) {
  for (uint64_t g0 = 0; g0 < G; g0 += 4) {
    const float* wg = w + g0 * wstride;
    float* og = out + g0 * hd;
    switch (std::min<uint64_t>(4, G - g0)) {
      case 1: accumulate_group<1>(wg, wstride, v, stride, n, hd, og); break;
      case 2: accumulate_group<2>(wg, wstride, v, stride, n, hd, og); break;
      case 3: accumulate_group<3>(wg, wstride, v, stride, n, hd, og); break;
      default: accumulate_group<4>(wg, wstride, v, stride, n, hd, og); break;
    }
  }
}


// ---- int8 rows: byte * scale, one scale per stored head vector -----------------

// The portable int8 dot: eight partial sums combined pairwise, as dot_portable.
float dot_i8_portable(const float* q, const int8_t* k, uint64_t n) {
  float acc[8] = {};
  uint64_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (int t = 0; t < 8; ++t) acc[t] += q[i + t] * static_cast<float>(k[i + t]);
  float s = 0.0f;
  for (; i < n; ++i) s += q[i] * static_cast<float>(k[i]);
  return s + ((acc[0] + acc[4]) + (acc[1] + acc[5])) + ((acc[2] + acc[6]) + (acc[3] + acc[7]));
}

void scores_i8_portable(const float* q, uint64_t G, const int8_t* k, const float* ks, uint64_t sc_step,
                        uint64_t stride, uint64_t n, uint64_t hd, float div, float* scores, uint64_t sstride) {
  for (uint64_t g = 0; g < G; ++g)
    for (uint64_t i = 0; i < n; ++i)
      scores[g * sstride + i] = dot_i8_portable(q + g * hd, k + i * stride, hd) * ks[i * sc_step] / div;
}

void accumulate_i8_portable(const float* w, uint64_t wstride, uint64_t G, const int8_t* v, const float* vs,
                            uint64_t sc_step, uint64_t stride, uint64_t n, uint64_t vd, float* out) {
  for (uint64_t g = 0; g < G; ++g)
    for (uint64_t i = 0; i < n; ++i) {
      const float a = w[g * wstride + i] * vs[i * sc_step];
      const int8_t* row = v + i * stride;
      float* o = out + g * vd;
      for (uint64_t c = 0; c < vd; ++c) o[c] += a * static_cast<float>(row[c]);
    }
}

// Eight int8 values widened to floats.
__attribute__((target("avx2,fma"))) inline __m256 load_i8x8(const int8_t* p) {
  __m128i b;
  std::memcpy(&b, p, 8);
  return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(b));
}

template <int GN>
__attribute__((target("avx2,fma"))) void scores_i8_group(const float* q, const int8_t* k, const float* ks,
                                                         uint64_t sc_step, uint64_t stride, uint64_t n, uint64_t hd,
                                                         float div, float* scores, uint64_t sstride) {
  const uint64_t hv = hd / 8 * 8;
  for (uint64_t i = 0; i < n; ++i) {
    const int8_t* row = k + i * stride;
    __m256 acc[GN];
    for (int g = 0; g < GN; ++g) acc[g] = _mm256_setzero_ps();
    for (uint64_t c = 0; c < hv; c += 8) {
      const __m256 kv = load_i8x8(row + c);
      for (int g = 0; g < GN; ++g) acc[g] = _mm256_fmadd_ps(kv, _mm256_loadu_ps(q + g * hd + c), acc[g]);
    }
    for (int g = 0; g < GN; ++g) {
      float s = simd::hsum(acc[g]);
      for (uint64_t c = hv; c < hd; ++c) s += q[g * hd + c] * static_cast<float>(row[c]);
      scores[g * sstride + i] = s * ks[i * sc_step] / div;
    }
  }
}

__attribute__((target("avx2,fma"))) void scores_i8_avx2(const float* q, uint64_t G, const int8_t* k, const float* ks,
                                                        uint64_t sc_step, uint64_t stride, uint64_t n, uint64_t hd,
                                                        float div, float* scores, uint64_t sstride) {
  for (uint64_t g0 = 0; g0 < G; g0 += 4) {
    const float* qg = q + g0 * hd;
    float* sg = scores + g0 * sstride;
    switch (std::min<uint64_t>(4, G - g0)) {
      case 1: scores_i8_group<1>(qg, k, ks, sc_step, stride, n, hd, div, sg, sstride); break;
      case 2: scores_i8_group<2>(qg, k, ks, sc_step, stride, n, hd, div, sg, sstride); break;
      case 3: scores_i8_group<3>(qg, k, ks, sc_step, stride, n, hd, div, sg, sstride); break;
      default: scores_i8_group<4>(qg, k, ks, sc_step, stride, n, hd, div, sg, sstride); break;
    }
  }
}

template <int GN>
__attribute__((target("avx2,fma"))) void accumulate_i8_group(const float* w, uint64_t wstride, const int8_t* v,
                                                             const float* vs, uint64_t sc_step, uint64_t stride,
                                                             uint64_t n, uint64_t vd, float* out) {
  uint64_t c = 0;
  for (; c + 16 <= vd; c += 16) {
    __m256 a[GN][2];
    for (int g = 0; g < GN; ++g) {
      a[g][0] = _mm256_loadu_ps(out + g * vd + c);
      a[g][1] = _mm256_loadu_ps(out + g * vd + c + 8);
    }
    for (uint64_t i = 0; i < n; ++i) {
      const int8_t* r = v + i * stride + c;
      const __m256 v0 = load_i8x8(r), v1 = load_i8x8(r + 8);
      const float sc = vs[i * sc_step];
      for (int g = 0; g < GN; ++g) {
        const __m256 wi = _mm256_set1_ps(w[g * wstride + i] * sc);
        a[g][0] = _mm256_fmadd_ps(wi, v0, a[g][0]);
        a[g][1] = _mm256_fmadd_ps(wi, v1, a[g][1]);
      }
    }
    for (int g = 0; g < GN; ++g) {
      _mm256_storeu_ps(out + g * vd + c, a[g][0]);
      _mm256_storeu_ps(out + g * vd + c + 8, a[g][1]);
    }
  }
  for (; c < vd; ++c)
    for (int g = 0; g < GN; ++g) {
      float a = out[g * vd + c];
      for (uint64_t i = 0; i < n; ++i)
        a += (w[g * wstride + i] * vs[i * sc_step]) * static_cast<float>(v[i * stride + c]);
      out[g * vd + c] = a;
    }
}

__attribute__((target("avx2,fma"))) void accumulate_i8_avx2(const float* w, uint64_t wstride, uint64_t G,
                                                            const int8_t* v, const float* vs, uint64_t sc_step,
                                                            uint64_t stride, uint64_t n, uint64_t vd, float* out) {
  for (uint64_t g0 = 0; g0 < G; g0 += 4) {
    const float* wg = w + g0 * wstride;
    float* og = out + g0 * vd;
    switch (std::min<uint64_t>(4, G - g0)) {
      case 1: accumulate_i8_group<1>(wg, wstride, v, vs, sc_step, stride, n, vd, og); break;
      case 2: accumulate_i8_group<2>(wg, wstride, v, vs, sc_step, stride, n, vd, og); break;
      case 3: accumulate_i8_group<3>(wg, wstride, v, vs, sc_step, stride, n, vd, og); break;
      default: accumulate_i8_group<4>(wg, wstride, v, vs, sc_step, stride, n, vd, og); break;
    }
  }
}


// ---- AVX-512: rows in order (one pass over each cached row per query group),
// masked column tails, software prefetch of the rows ahead ----------------------

#define VORPEL_AVX512 __attribute__((target("avx2,fma,avx512f,avx512bw,avx512dq,avx512vl")))

// Rows further ahead than this are requested before they are read: the cache
// of a decode step comes from memory, and the hardware does not run ahead of
// strided rows far enough on its own.
constexpr uint64_t kPrefetchRows = 16;

template <class T>
VORPEL_AVX512 inline void prefetch_row(const T* row, uint64_t width) {
  const char* p = reinterpret_cast<const char*>(row);
  for (uint64_t off = 0; off < width * sizeof(T); off += 64) _mm_prefetch(p + off, _MM_HINT_T0);
}

VORPEL_AVX512 inline __mmask16 tail_mask(uint64_t c, uint64_t width) {
  const uint64_t left = width - c;
  return left >= 16 ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>((1u << left) - 1);
}

VORPEL_AVX512 inline __m512 load16(const float* row, uint64_t c, __mmask16 m) {
  return _mm512_maskz_loadu_ps(m, row + c);
}
VORPEL_AVX512 inline __m512 load16(const int8_t* row, uint64_t c, __mmask16 m) {
  return _mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(_mm_maskz_loadu_epi8(m, row + c)));
}

// R rows against GN queries; `ks` (int8 rows) scales row r's sum by ks[r * ks_stride].
template <class T, int R, int GN>
VORPEL_AVX512 inline void scores512_tile(const float* q, uint64_t hd, const T* k, uint64_t stride, const float* ks,
                                         uint64_t ks_stride, float div, float* scores, uint64_t sstride) {
  __m512 acc[GN][R];
  for (int g = 0; g < GN; ++g)
    for (int r = 0; r < R; ++r) acc[g][r] = _mm512_setzero_ps();
  for (uint64_t c = 0; c < hd; c += 16) {
    const __mmask16 m = tail_mask(c, hd);
    __m512 kr[R];
    for (int r = 0; r < R; ++r) kr[r] = load16(k + r * stride, c, m);
    for (int g = 0; g < GN; ++g) {
      const __m512 qv = _mm512_maskz_loadu_ps(m, q + g * hd + c);
      for (int r = 0; r < R; ++r) acc[g][r] = _mm512_fmadd_ps(kr[r], qv, acc[g][r]);
    }
  }
  for (int g = 0; g < GN; ++g)
    for (int r = 0; r < R; ++r) {
      float sum = _mm512_reduce_add_ps(acc[g][r]);
      if (ks) sum *= ks[r * ks_stride];
      scores[g * sstride + r] = sum / div;
    }
}

template <class T, int GN>
VORPEL_AVX512 void scores512_rows(const float* q, uint64_t hd, const T* k, uint64_t stride, const float* ks,
                                  uint64_t ks_stride, uint64_t n, float div, float* scores, uint64_t sstride) {
  constexpr int R = 4;
  uint64_t i = 0;
  for (; i + R <= n; i += R) {
    for (int r = 0; r < R; ++r)
      if (i + kPrefetchRows + r < n) prefetch_row(k + (i + kPrefetchRows + r) * stride, hd);
    scores512_tile<T, R, GN>(q, hd, k + i * stride, stride, ks ? ks + i * ks_stride : nullptr, ks_stride, div,
                             scores + i, sstride);
  }
  for (; i < n; ++i)
    scores512_tile<T, 1, GN>(q, hd, k + i * stride, stride, ks ? ks + i * ks_stride : nullptr, ks_stride, div,
                             scores + i, sstride);
}

template <class T>
VORPEL_AVX512 void scores_avx512(const float* q, uint64_t G, const T* k, const float* ks, uint64_t ks_stride,
                                 uint64_t stride, uint64_t n, uint64_t hd, float div, float* scores, uint64_t sstride) {
  for (uint64_t g0 = 0; g0 < G; g0 += 3) {
    const float* qg = q + g0 * hd;
    float* sg = scores + g0 * sstride;
    switch (std::min<uint64_t>(3, G - g0)) {
      case 1: scores512_rows<T, 1>(qg, hd, k, stride, ks, ks_stride, n, div, sg, sstride); break;
      case 2: scores512_rows<T, 2>(qg, hd, k, stride, ks, ks_stride, n, div, sg, sstride); break;
      default: scores512_rows<T, 3>(qg, hd, k, stride, ks, ks_stride, n, div, sg, sstride); break;
    }
  }
}

// GN outputs over a slice of up to four vectors of columns, rows in order.
template <class T, int GN>
VORPEL_AVX512 void accumulate512_group(const float* w, uint64_t wstride, const T* v, const float* vs,
                                       uint64_t vs_stride, uint64_t stride, uint64_t n, uint64_t vd, float* out) {
  for (uint64_t c0 = 0; c0 < vd; c0 += 64) {
    const uint64_t nv = std::min<uint64_t>(4, (vd - c0 + 15) / 16);
    __mmask16 m[4];
    __m512 acc[GN][4];
    for (uint64_t j = 0; j < 4; ++j) m[j] = j < nv ? tail_mask(c0 + 16 * j, vd) : 0;
    for (int g = 0; g < GN; ++g)
      for (uint64_t j = 0; j < 4; ++j) acc[g][j] = _mm512_maskz_loadu_ps(m[j], out + g * vd + c0 + 16 * j);
    for (uint64_t i = 0; i < n; ++i) {
      if (i + kPrefetchRows < n) prefetch_row(v + (i + kPrefetchRows) * stride + c0, std::min<uint64_t>(64, vd - c0));
      const T* row = v + i * stride;
      __m512 vr[4];
      for (uint64_t j = 0; j < nv; ++j) vr[j] = load16(row, c0 + 16 * j, m[j]);
      const float sc = vs ? vs[i * vs_stride] : 1.0f;
      for (int g = 0; g < GN; ++g) {
        const __m512 wi = _mm512_set1_ps(vs ? w[g * wstride + i] * sc : w[g * wstride + i]);
        for (uint64_t j = 0; j < nv; ++j) acc[g][j] = _mm512_fmadd_ps(wi, vr[j], acc[g][j]);
      }
    }
    for (int g = 0; g < GN; ++g)
      for (uint64_t j = 0; j < nv; ++j) _mm512_mask_storeu_ps(out + g * vd + c0 + 16 * j, m[j], acc[g][j]);
  }
}

template <class T>
VORPEL_AVX512 void accumulate_avx512(const float* w, uint64_t wstride, uint64_t G, const T* v, const float* vs,
                                     uint64_t vs_stride, uint64_t stride, uint64_t n, uint64_t vd, float* out) {
  for (uint64_t g0 = 0; g0 < G; g0 += 4) {
    const float* wg = w + g0 * wstride;
    float* og = out + g0 * vd;
    switch (std::min<uint64_t>(4, G - g0)) {
      case 1: accumulate512_group<T, 1>(wg, wstride, v, vs, vs_stride, stride, n, vd, og); break;
      case 2: accumulate512_group<T, 2>(wg, wstride, v, vs, vs_stride, stride, n, vd, og); break;
      case 3: accumulate512_group<T, 3>(wg, wstride, v, vs, vs_stride, stride, n, vd, og); break;
      default: accumulate512_group<T, 4>(wg, wstride, v, vs, vs_stride, stride, n, vd, og); break;
    }
  }
}

}  // namespace

void attention_scores(const KvView& kv, uint64_t kv_head, uint64_t slot, const float* q, uint64_t G, uint64_t n,
                      float scale_div, float* scores, uint64_t sstride) {
  const bool avx2 = detail::use_avx2(), avx512 = detail::use_avx512();
  const uint64_t hd = kv.k_width, step = kv.row_step(), stride = step * hd, at = kv.row(slot, kv_head);
  if (!kv.int8()) {
    const float* k = kv.k + at * hd;
    if (avx512)
      scores_avx512(q, G, k, static_cast<const float*>(nullptr), 0, stride, n, hd, scale_div, scores, sstride);
    else if (avx2)
      scores_avx2(q, G, k, stride, n, hd, scale_div, scores, sstride);
    else
      scores_portable(q, G, k, stride, n, hd, scale_div, scores, sstride);
    return;
  }
  const int8_t* k = kv.k8 + at * hd;
  const float* ks = kv.k_scale + at;
  if (avx512)
    scores_avx512(q, G, k, ks, step, stride, n, hd, scale_div, scores, sstride);
  else if (avx2)
    scores_i8_avx2(q, G, k, ks, step, stride, n, hd, scale_div, scores, sstride);
  else
    scores_i8_portable(q, G, k, ks, step, stride, n, hd, scale_div, scores, sstride);
}

void attention_accumulate(const KvView& kv, uint64_t kv_head, uint64_t slot, const float* w, uint64_t wstride,
                          uint64_t G, uint64_t n, float* out) {
  const bool avx2 = detail::use_avx2(), avx512 = detail::use_avx512();
  const uint64_t vd = kv.v_width, step = kv.row_step(), stride = step * vd, at = kv.row(slot, kv_head);
  if (!kv.int8()) {
    const float* v = kv.v + at * vd;
    if (avx512)
      accumulate_avx512(w, wstride, G, v, static_cast<const float*>(nullptr), 0, stride, n, vd, out);
    else if (avx2)
      accumulate_avx2(w, wstride, G, v, stride, n, vd, out);
    else
      accumulate_portable(w, wstride, G, v, stride, n, vd, out);
    return;
  }
  const int8_t* v = kv.v8 + at * vd;
  const float* vs = kv.v_scale + at;
  if (avx512)
    accumulate_avx512(w, wstride, G, v, vs, step, stride, n, vd, out);
  else if (avx2)
    accumulate_i8_avx2(w, wstride, G, v, vs, step, stride, n, vd, out);
  else
    accumulate_i8_portable(w, wstride, G, v, vs, step, stride, n, vd, out);
}

void attend(const KvView& kv, uint64_t group, const float* q, float* out, uint64_t h0, uint64_t h1, uint64_t first,
            uint64_t n, float scale_div, float* scores) {
  VORPEL_CHECK(n >= 1 && kv.slots > 0 && group > 0, "attend: empty attention span");
  const uint64_t hd = kv.k_width, vd = kv.v_width;
  // Positions first..first+n-1 are consecutive slots of the ring; split them
  // into contiguous runs (more than two only when n exceeds the ring).
  for (uint64_t h = h0; h < h1;) {
    const uint64_t kvh = h / group;
    const uint64_t G = std::min(h1, (kvh + 1) * group) - h;
    const float* qh = q + h * hd;
    for (uint64_t done = 0, slot = first % kv.slots; done < n; slot = 0) {
      const uint64_t len = std::min(n - done, kv.slots - slot);
      attention_scores(kv, kvh, slot, qh, G, len, scale_div, scores + done, n);
      done += len;
    }
    for (uint64_t g = 0; g < G; ++g) softmax_uniform_fallback({scores + g * n, n});
    float* oh = out + h * vd;
    std::memset(oh, 0, G * vd * sizeof(float));
    for (uint64_t done = 0, slot = first % kv.slots; done < n; slot = 0) {
      const uint64_t len = std::min(n - done, kv.slots - slot);
      attention_accumulate(kv, kvh, slot, scores + done, n, G, len, oh);
      done += len;
    }
    h += G;
  }
}

}  // namespace vorpel::ops

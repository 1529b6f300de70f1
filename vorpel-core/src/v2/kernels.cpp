// Vector kernels of the second-generation forward pass.
#include "vorpel/v2/kernels.hpp"

#include <immintrin.h>

#include <algorithm>
#include <limits>

#include "vorpel/core/panic.hpp"
#include "vorpel/cq/cpu_features.hpp"

namespace vorpel::v2 {

namespace {

// Eight independent partial sums so the compiler can keep them in one vector.
float sum_squares(const float* x, uint64_t n) {
  float acc[8] = {};
  uint64_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (int k = 0; k < 8; ++k) acc[k] += x[i + k] * x[i + k];
  float s = 0.0f;
  for (; i < n; ++i) s += x[i] * x[i];
  return s + ((acc[0] + acc[4]) + (acc[1] + acc[5])) + ((acc[2] + acc[6]) + (acc[3] + acc[7]));
}

float dot_portable(const float* a, const float* b, uint64_t n) {
  float acc[8] = {};
  uint64_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (int k = 0; k < 8; ++k) acc[k] += a[i + k] * b[i + k];
  float s = 0.0f;
  for (; i < n; ++i) s += a[i] * b[i];
  return s + ((acc[0] + acc[4]) + (acc[1] + acc[5])) + ((acc[2] + acc[6]) + (acc[3] + acc[7]));
}

__attribute__((target("avx2,fma"))) float dot_avx2(const float* a, const float* b, uint64_t n) {
  __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps();
  uint64_t i = 0;
  for (; i + 16 <= n; i += 16) {
    s0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), s0);
    s1 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8), s1);
  }
  for (; i + 8 <= n; i += 8) s0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), s0);
  s0 = _mm256_add_ps(s0, s1);
  // Horizontal sum: fold 8 -> 4 -> 2 -> 1.
  __m128 h = _mm_add_ps(_mm256_castps256_ps128(s0), _mm256_extractf128_ps(s0, 1));
  h = _mm_add_ps(h, _mm_movehl_ps(h, h));
  h = _mm_add_ss(h, _mm_shuffle_ps(h, h, 1));
  float s = _mm_cvtss_f32(h);
  for (; i < n; ++i) s += a[i] * b[i];
  return s;
}

void axpy_portable(float* y, float a, const float* x, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) y[i] += a * x[i];
}

__attribute__((target("avx2,fma"))) void axpy_avx2(float* y, float a, const float* x, uint64_t n) {
  const __m256 va = _mm256_set1_ps(a);
  uint64_t i = 0;
  for (; i + 8 <= n; i += 8)
    _mm256_storeu_ps(y + i, _mm256_fmadd_ps(va, _mm256_loadu_ps(x + i), _mm256_loadu_ps(y + i)));
  for (; i < n; ++i) y[i] += a * x[i];
}

void scores_portable(const float* q, uint64_t G, const float* k, uint64_t stride, uint64_t n, uint64_t hd,
                     float scale, float* scores, uint64_t sstride) {
  for (uint64_t g = 0; g < G; ++g)
    for (uint64_t i = 0; i < n; ++i) scores[g * sstride + i] = dot_portable(q + g * hd, k + i * stride, hd) / scale;
}

__attribute__((target("avx2,fma"))) inline float hsum8(__m256 v) {
  __m128 h = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  h = _mm_add_ps(h, _mm_movehl_ps(h, h));
  h = _mm_add_ss(h, _mm_shuffle_ps(h, h, 1));
  return _mm_cvtss_f32(h);
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
    for (uint64_t i = 0; i < n; ++i) axpy_portable(out + g * hd, w[g * wstride + i], v + i * stride, hd);
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

// exp on 8 lanes: Cody-Waite range reduction by ln 2 and a degree-5 polynomial
// (within 2 ulp of expf for finite inputs; callers route non-finite ones elsewhere).
__attribute__((target("avx2,fma"))) inline __m256 exp8(__m256 x) {
  x = _mm256_min_ps(_mm256_max_ps(x, _mm256_set1_ps(-87.0f)), _mm256_set1_ps(88.3762626647949f));
  __m256 fx = _mm256_floor_ps(_mm256_fmadd_ps(x, _mm256_set1_ps(1.44269504088896341f), _mm256_set1_ps(0.5f)));
  x = _mm256_fnmadd_ps(fx, _mm256_set1_ps(0.693359375f), x);
  x = _mm256_fnmadd_ps(fx, _mm256_set1_ps(-2.12194440e-4f), x);
  __m256 y = _mm256_set1_ps(1.9875691500e-4f);
  y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(1.3981999507e-3f));
  y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(8.3334519073e-3f));
  y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(4.1665795894e-2f));
  y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(1.6666665459e-1f));
  y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(5.0000001201e-1f));
  y = _mm256_fmadd_ps(y, _mm256_mul_ps(x, x), _mm256_add_ps(x, _mm256_set1_ps(1.0f)));
  const __m256i n = _mm256_slli_epi32(_mm256_add_epi32(_mm256_cvtps_epi32(fx), _mm256_set1_epi32(127)), 23);
  return _mm256_mul_ps(y, _mm256_castsi256_ps(n));
}

// Softmax of finite scores (max m already known): returns the sum of exp(s - m).
__attribute__((target("avx2,fma"))) float exp_shift_sum_avx2(float* s, uint64_t n, float m) {
  const __m256 vm = _mm256_set1_ps(m);
  __m256 acc = _mm256_setzero_ps();
  uint64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 e = exp8(_mm256_sub_ps(_mm256_loadu_ps(s + i), vm));
    _mm256_storeu_ps(s + i, e);
    acc = _mm256_add_ps(acc, e);
  }
  __m128 h = _mm_add_ps(_mm256_castps256_ps128(acc), _mm256_extractf128_ps(acc, 1));
  h = _mm_add_ps(h, _mm_movehl_ps(h, h));
  h = _mm_add_ss(h, _mm_shuffle_ps(h, h, 1));
  float sum = _mm_cvtss_f32(h);
  for (; i < n; ++i) sum += (s[i] = std::exp(s[i] - m));
  return sum;
}

// sigmoid on 8 lanes; NaN stays NaN (the clamp inside exp8 would hide it).
__attribute__((target("avx2,fma"))) inline __m256 sigmoid8(__m256 z) {
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 y = _mm256_div_ps(one, _mm256_add_ps(one, exp8(_mm256_sub_ps(_mm256_setzero_ps(), z))));
  return _mm256_blendv_ps(y, z, _mm256_cmp_ps(z, z, _CMP_UNORD_Q));
}

__attribute__((target("avx2,fma"))) void mul_sigmoid_avx2(float* o, const float* gt, uint64_t n) {
  uint64_t i = 0;
  for (; i + 8 <= n; i += 8)
    _mm256_storeu_ps(o + i, _mm256_mul_ps(_mm256_loadu_ps(o + i), sigmoid8(_mm256_loadu_ps(gt + i))));
  for (; i < n; ++i) o[i] *= sigmoid(gt[i]);
}

__attribute__((target("avx2,fma"))) void silu_scaled_avx2(float* w, const float* d, float div, uint64_t n) {
  const __m256 vdiv = _mm256_set1_ps(div);
  uint64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 z = _mm256_mul_ps(_mm256_div_ps(_mm256_loadu_ps(w + i), vdiv), _mm256_loadu_ps(d + i));
    _mm256_storeu_ps(w + i, _mm256_mul_ps(z, sigmoid8(z)));
  }
  for (; i < n; ++i) w[i] = silu((w[i] / div) * d[i]);
}

// exp of n values in place; below the smallest normal result it gives 0 as
// expf would (to within a denormal), not exp8's clamped value.
__attribute__((target("avx2,fma"))) void exp_inplace_avx2(float* v, uint64_t n) {
  const __m256 floor = _mm256_set1_ps(-87.0f);
  uint64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 x = _mm256_loadu_ps(v + i);
    _mm256_storeu_ps(v + i, _mm256_and_ps(exp8(x), _mm256_cmp_ps(x, floor, _CMP_GE_OQ)));
  }
  for (; i < n; ++i) v[i] = std::exp(v[i]);
}

// Read on every call (one relaxed load) so tests can switch levels.
bool use_avx2() { return cpu::active_level() != cpu::SimdLevel::Portable; }

}  // namespace

void attention_scores(const float* q, uint64_t G, const float* k, uint64_t stride, uint64_t n, uint64_t hd,
                      float scale, float* scores, uint64_t sstride) {
  const bool avx2 = use_avx2();
  if (avx2)
    scores_avx2(q, G, k, stride, n, hd, scale, scores, sstride);
  else
    scores_portable(q, G, k, stride, n, hd, scale, scores, sstride);
}

void attention_accumulate(const float* w, uint64_t wstride, uint64_t G, const float* v, uint64_t stride, uint64_t n,
                          uint64_t hd, float* out) {
  const bool avx2 = use_avx2();
  if (avx2)
    accumulate_avx2(w, wstride, G, v, stride, n, hd, out);
  else
    accumulate_portable(w, wstride, G, v, stride, n, hd, out);
}

float rms_scale(std::span<const float> v) {
  const float n = static_cast<float>(v.size());
  return std::sqrt(sum_squares(v.data(), v.size()) / n + kNormEps);
}

void rms_norm(std::span<const float> x, std::span<const float> w, std::span<float> out) {
  VORPEL_CHECK(w.size() == x.size() && out.size() == x.size(), "rms_norm: length mismatch");
  const float r = rms_scale(x);
  for (size_t i = 0; i < x.size(); ++i) out[i] = (1.0f + w[i]) * x[i] / r;
}

void rms_normalize(std::span<const float> x, std::span<float> out) {
  VORPEL_CHECK(out.size() == x.size(), "rms_normalize: length mismatch");
  const float r = rms_scale(x);
  for (size_t i = 0; i < x.size(); ++i) out[i] = x[i] / r;
}

float dot(const float* a, const float* b, uint64_t n) {
  const bool avx2 = use_avx2();
  return avx2 ? dot_avx2(a, b, n) : dot_portable(a, b, n);
}

void axpy(float* y, float a, const float* x, uint64_t n) {
  const bool avx2 = use_avx2();
  if (avx2)
    axpy_avx2(y, a, x, n);
  else
    axpy_portable(y, a, x, n);
}

void softmax_uniform_fallback(std::span<float> s) {
  const bool avx2 = use_avx2();
  const size_t n = s.size();
  if (n == 0) return;
  float m = -std::numeric_limits<float>::infinity();
  bool finite = true;
  for (float v : s) {
    if (v > m) m = v;
    finite &= std::isfinite(v);
  }
  const float uniform = 1.0f / static_cast<float>(n);
  if (m == -std::numeric_limits<float>::infinity()) {
    for (float& v : s) v = uniform;
    return;
  }
  float sum = 0.0f;
  if (avx2 && finite && n >= 16) {
    sum = exp_shift_sum_avx2(s.data(), n, m);
  } else {
    for (float& v : s) {
      v = std::exp(v - m);
      sum += v;
    }
  }
  if (sum != 0.0f) {
    for (float& v : s) v /= sum;
  } else {
    for (float& v : s) v = uniform;
  }
}

float log_sum_exp(const float* v, uint64_t n, uint64_t stride) {
  float m = -std::numeric_limits<float>::infinity();
  for (uint64_t i = 0; i < n; ++i) {
    const float x = v[i * stride];
    if (x > m) m = x;  // NaN compares false, so it never becomes the maximum
  }
  if (!std::isfinite(m)) return m;
  float s = 0.0f;
  for (uint64_t i = 0; i < n; ++i) s += std::exp(v[i * stride] - m);
  return m + std::log(s);
}

void mul_sigmoid(float* o, const float* gt, uint64_t n) {
  if (use_avx2()) return mul_sigmoid_avx2(o, gt, n);
  for (uint64_t i = 0; i < n; ++i) o[i] *= sigmoid(gt[i]);
}

void silu_scaled(float* w, const float* d, float div, uint64_t n) {
  if (use_avx2()) return silu_scaled_avx2(w, d, div, n);
  for (uint64_t i = 0; i < n; ++i) w[i] = silu((w[i] / div) * d[i]);
}

namespace {

// The Sinkhorn rounds with the exponentials of a whole pass done 8 at a time:
// every row (then column) maximum first, all shifted entries exponentiated
// together, then the sums. Only for finite matrices of at most 16 x 16.
bool sinkhorn_log_avx2(std::span<float> r, uint64_t L, int rounds) {
  constexpr uint64_t kMax = 16;
  if (L > kMax) return false;
  for (float v : r)
    if (!std::isfinite(v)) return false;
  float e[kMax * kMax], m[kMax], sum[kMax];
  const uint64_t n = L * L;
  for (int it = 0; it < rounds; ++it) {
    for (int pass = 0; pass < 2; ++pass) {
      // pass 0: rows (entry i*L + k belongs to row i); pass 1: columns (to column k).
      auto owner = [&](uint64_t i, uint64_t k) { return pass == 0 ? i : k; };
      for (uint64_t a = 0; a < L; ++a) m[a] = -std::numeric_limits<float>::infinity(), sum[a] = 0.0f;
      for (uint64_t i = 0; i < L; ++i)
        for (uint64_t k = 0; k < L; ++k) m[owner(i, k)] = std::max(m[owner(i, k)], r[i * L + k]);
      for (uint64_t i = 0; i < L; ++i)
        for (uint64_t k = 0; k < L; ++k) e[i * L + k] = r[i * L + k] - m[owner(i, k)];
      exp_inplace_avx2(e, n);
      for (uint64_t i = 0; i < L; ++i)
        for (uint64_t k = 0; k < L; ++k) sum[owner(i, k)] += e[i * L + k];
      for (uint64_t a = 0; a < L; ++a) m[a] += std::log(sum[a]);
      for (uint64_t i = 0; i < L; ++i)
        for (uint64_t k = 0; k < L; ++k) r[i * L + k] -= m[owner(i, k)];
    }
  }
  exp_inplace_avx2(r.data(), n);
  return true;
}

}  // namespace

void sinkhorn_log(std::span<float> r, uint64_t L, int rounds) {
  VORPEL_CHECK(r.size() == L * L, "sinkhorn: matrix is not L x L");
  if (use_avx2() && sinkhorn_log_avx2(r, L, rounds)) return;
  for (int it = 0; it < rounds; ++it) {
    for (uint64_t i = 0; i < L; ++i) {
      float* row = r.data() + i * L;
      const float lse = log_sum_exp(row, L, 1);
      for (uint64_t k = 0; k < L; ++k) row[k] -= lse;
    }
    for (uint64_t k = 0; k < L; ++k) {
      float* col = r.data() + k;
      const float lse = log_sum_exp(col, L, L);
      for (uint64_t i = 0; i < L; ++i) col[i * L] -= lse;
    }
  }
  for (float& v : r) v = std::exp(v);
}

void rope_rotate(float* x, const float* c, const float* s, uint64_t n, uint64_t half) {
  for (uint64_t j = 0; j < n; ++j) {
    const float a = x[j], b = x[j + half];
    x[j] = a * c[j] - b * s[j];
    x[j + half] = b * c[j] + a * s[j];
  }
}

}  // namespace vorpel::v2

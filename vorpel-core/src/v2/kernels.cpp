// Vector kernels of the second-generation forward pass.
#include "vorpel/v2/kernels.hpp"

#include <immintrin.h>

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

void scores_portable(const float* q, const float* k, uint64_t stride, uint64_t n, uint64_t hd, float scale,
                     float* scores) {
  for (uint64_t i = 0; i < n; ++i) scores[i] = dot_portable(q, k + i * stride, hd) / scale;
}

// Four rows at a time so that four independent FMA chains hide the latency.
__attribute__((target("avx2,fma"))) void scores_avx2(const float* q, const float* k, uint64_t stride, uint64_t n,
                                                     uint64_t hd, float scale, float* scores) {
  const uint64_t hv = hd / 8 * 8;
  auto hsum = [](__m256 v) __attribute__((target("avx2,fma"))) {
    __m128 h = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    h = _mm_add_ps(h, _mm_movehl_ps(h, h));
    h = _mm_add_ss(h, _mm_shuffle_ps(h, h, 1));
    return _mm_cvtss_f32(h);
  };
  uint64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const float* r0 = k + i * stride;
    const float* r1 = r0 + stride;
    const float* r2 = r1 + stride;
    const float* r3 = r2 + stride;
    __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
    for (uint64_t c = 0; c < hv; c += 8) {
      const __m256 qv = _mm256_loadu_ps(q + c);
      a0 = _mm256_fmadd_ps(_mm256_loadu_ps(r0 + c), qv, a0);
      a1 = _mm256_fmadd_ps(_mm256_loadu_ps(r1 + c), qv, a1);
      a2 = _mm256_fmadd_ps(_mm256_loadu_ps(r2 + c), qv, a2);
      a3 = _mm256_fmadd_ps(_mm256_loadu_ps(r3 + c), qv, a3);
    }
    float s0 = hsum(a0), s1 = hsum(a1), s2 = hsum(a2), s3 = hsum(a3);
    for (uint64_t c = hv; c < hd; ++c) {
      s0 += q[c] * r0[c];
      s1 += q[c] * r1[c];
      s2 += q[c] * r2[c];
      s3 += q[c] * r3[c];
    }
    scores[i] = s0 / scale;
    scores[i + 1] = s1 / scale;
    scores[i + 2] = s2 / scale;
    scores[i + 3] = s3 / scale;
  }
  for (; i < n; ++i) scores[i] = dot_avx2(q, k + i * stride, hd) / scale;
}

void accumulate_portable(const float* w, const float* v, uint64_t stride, uint64_t n, uint64_t hd, float* out) {
  for (uint64_t i = 0; i < n; ++i) axpy_portable(out, w[i], v + i * stride, hd);
}

// Columns in slices of 32 held in four registers across all rows.
__attribute__((target("avx2,fma"))) void accumulate_avx2(const float* w, const float* v, uint64_t stride, uint64_t n,
                                                         uint64_t hd, float* out) {
  uint64_t c = 0;
  for (; c + 32 <= hd; c += 32) {
    __m256 a0 = _mm256_loadu_ps(out + c), a1 = _mm256_loadu_ps(out + c + 8);
    __m256 a2 = _mm256_loadu_ps(out + c + 16), a3 = _mm256_loadu_ps(out + c + 24);
    for (uint64_t i = 0; i < n; ++i) {
      const __m256 wi = _mm256_set1_ps(w[i]);
      const float* r = v + i * stride + c;
      a0 = _mm256_fmadd_ps(wi, _mm256_loadu_ps(r), a0);
      a1 = _mm256_fmadd_ps(wi, _mm256_loadu_ps(r + 8), a1);
      a2 = _mm256_fmadd_ps(wi, _mm256_loadu_ps(r + 16), a2);
      a3 = _mm256_fmadd_ps(wi, _mm256_loadu_ps(r + 24), a3);
    }
    _mm256_storeu_ps(out + c, a0);
    _mm256_storeu_ps(out + c + 8, a1);
    _mm256_storeu_ps(out + c + 16, a2);
    _mm256_storeu_ps(out + c + 24, a3);
  }
  for (; c + 8 <= hd; c += 8) {
    __m256 a = _mm256_loadu_ps(out + c);
    for (uint64_t i = 0; i < n; ++i) a = _mm256_fmadd_ps(_mm256_set1_ps(w[i]), _mm256_loadu_ps(v + i * stride + c), a);
    _mm256_storeu_ps(out + c, a);
  }
  for (; c < hd; ++c) {
    float a = out[c];
    for (uint64_t i = 0; i < n; ++i) a += w[i] * v[i * stride + c];
    out[c] = a;
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

bool use_avx2() { return cpu::active_level() != cpu::SimdLevel::Portable && cpu::has_avx2(); }

}  // namespace

void attention_scores(const float* q, const float* k, uint64_t stride, uint64_t n, uint64_t hd, float scale,
                      float* scores) {
  static const bool avx2 = use_avx2();
  if (avx2)
    scores_avx2(q, k, stride, n, hd, scale, scores);
  else
    scores_portable(q, k, stride, n, hd, scale, scores);
}

void attention_accumulate(const float* w, const float* v, uint64_t stride, uint64_t n, uint64_t hd, float* out) {
  static const bool avx2 = use_avx2();
  if (avx2)
    accumulate_avx2(w, v, stride, n, hd, out);
  else
    accumulate_portable(w, v, stride, n, hd, out);
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
  static const bool avx2 = use_avx2();
  return avx2 ? dot_avx2(a, b, n) : dot_portable(a, b, n);
}

void axpy(float* y, float a, const float* x, uint64_t n) {
  static const bool avx2 = use_avx2();
  if (avx2)
    axpy_avx2(y, a, x, n);
  else
    axpy_portable(y, a, x, n);
}

void softmax_uniform_fallback(std::span<float> s) {
  static const bool avx2 = use_avx2();
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

void sinkhorn_log(std::span<float> r, uint64_t L, int rounds) {
  VORPEL_CHECK(r.size() == L * L, "sinkhorn: matrix is not L x L");
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

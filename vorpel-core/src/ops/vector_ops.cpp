// Vector kernels shared by the model generations: norms, dot/axpy, gates,
// softmax with its uniform fallback and log-domain Sinkhorn.
#include "vorpel/ops/vector_ops.hpp"

#include <immintrin.h>

#include <algorithm>
#include <limits>

#include "vorpel/core/panic.hpp"
#include "vorpel/core/cpu_features.hpp"
#include "vorpel/core/simd.hpp"
#include "ops_internal.hpp"

namespace vorpel::ops {

namespace detail {

float dot_portable(const float* a, const float* b, uint64_t n) {
  float acc[8] = {};
  uint64_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (int k = 0; k < 8; ++k) acc[k] += a[i + k] * b[i + k];
  float s = 0.0f;
  for (; i < n; ++i) s += a[i] * b[i];
  return s + ((acc[0] + acc[4]) + (acc[1] + acc[5])) + ((acc[2] + acc[6]) + (acc[3] + acc[7]));
}

void axpy_portable(float* y, float a, const float* x, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) y[i] += a * x[i];
}

}  // namespace detail

namespace {

using detail::axpy_portable;
using detail::dot_portable;

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

__attribute__((target("avx2,fma"))) float dot_avx2(const float* a, const float* b, uint64_t n) {
  __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps();
  uint64_t i = 0;
  for (; i + 16 <= n; i += 16) {
    s0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), s0);
    s1 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8), s1);
  }
  for (; i + 8 <= n; i += 8) s0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), s0);
  float s = simd::hsum(_mm256_add_ps(s0, s1));
  for (; i < n; ++i) s += a[i] * b[i];
  return s;
}

__attribute__((target("avx2,fma"))) void axpy_avx2(float* y, float a, const float* x, uint64_t n) {
  const __m256 va = _mm256_set1_ps(a);
  uint64_t i = 0;
  for (; i + 8 <= n; i += 8)
    _mm256_storeu_ps(y + i, _mm256_fmadd_ps(va, _mm256_loadu_ps(x + i), _mm256_loadu_ps(y + i)));
  for (; i < n; ++i) y[i] += a * x[i];
}

void add_weighted_rows_portable(float* out, uint64_t m, const float* w, uint64_t w_h, uint64_t w_r,
                                const float* rows, uint64_t n, uint64_t width, bool skip_zero) {
  for (uint64_t h = 0; h < m; ++h)
    for (uint64_t r = 0; r < n; ++r) {
      const float a = w[h * w_h + r * w_r];
      if (skip_zero && a == 0.0f) continue;
      axpy_portable(out + h * width, a, rows + r * width, width);
    }
}

// R output rows by V vectors of columns at c, all in registers while every
// input row is added: each input row vector is loaded once for R outputs.
template <int R, int V>
__attribute__((target("avx2,fma"))) inline void weighted_rows_tile(float* out, const float* w, uint64_t w_h,
                                                                  uint64_t w_r, const float* rows, uint64_t n,
                                                                  uint64_t width, uint64_t c, bool skip_zero) {
  __m256 acc[R][V];
  for (int k = 0; k < R; ++k)
    for (int j = 0; j < V; ++j) acc[k][j] = _mm256_loadu_ps(out + k * width + c + 8 * j);
  for (uint64_t r = 0; r < n; ++r) {
    __m256 x[V];
    for (int j = 0; j < V; ++j) x[j] = _mm256_loadu_ps(rows + r * width + c + 8 * j);
    for (int k = 0; k < R; ++k) {
      const float a = w[k * w_h + r * w_r];
      if (skip_zero && a == 0.0f) continue;
      const __m256 va = _mm256_set1_ps(a);
      for (int j = 0; j < V; ++j) acc[k][j] = _mm256_fmadd_ps(va, x[j], acc[k][j]);
    }
  }
  for (int k = 0; k < R; ++k)
    for (int j = 0; j < V; ++j) _mm256_storeu_ps(out + k * width + c + 8 * j, acc[k][j]);
}

template <int R>
__attribute__((target("avx2,fma"))) void weighted_rows_avx2(float* out, const float* w, uint64_t w_h, uint64_t w_r,
                                                            const float* rows, uint64_t n, uint64_t width,
                                                            bool skip_zero) {
  uint64_t c = 0;
  for (; c + 32 <= width; c += 32) weighted_rows_tile<R, 4>(out, w, w_h, w_r, rows, n, width, c, skip_zero);
  for (; c + 8 <= width; c += 8) weighted_rows_tile<R, 1>(out, w, w_h, w_r, rows, n, width, c, skip_zero);
  for (; c < width; ++c)
    for (int k = 0; k < R; ++k) {
      float acc = out[k * width + c];
      for (uint64_t r = 0; r < n; ++r) {
        const float a = w[k * w_h + r * w_r];
        if (skip_zero && a == 0.0f) continue;
        acc = std::fma(a, rows[r * width + c], acc);
      }
      out[k * width + c] = acc;
    }
}

__attribute__((target("avx2,fma"))) void add_weighted_rows_avx2(float* out, uint64_t m, const float* w,
                                                                uint64_t w_h, uint64_t w_r, const float* rows,
                                                                uint64_t n, uint64_t width, bool skip_zero) {
  uint64_t h = 0;
  for (; h + 2 <= m; h += 2)
    weighted_rows_avx2<2>(out + h * width, w + h * w_h, w_h, w_r, rows, n, width, skip_zero);
  for (; h < m; ++h) weighted_rows_avx2<1>(out + h * width, w + h * w_h, w_h, w_r, rows, n, width, skip_zero);
}

#define VORPEL_AVX512 __attribute__((target("avx2,fma,avx512f,avx512dq")))

// The AVX-512 tile: R output rows by V 16-float vectors (the last one masked
// to `last` lanes). Every output element sees the same fused multiply-adds in
// the same order as on the AVX2 path, so both give the same bits. Skip is
// false when no weight is exactly zero, which spares a test per weight.
template <int R, int V, bool Skip>
VORPEL_AVX512 inline void weighted_rows_tile512(float* out, const float* w, uint64_t w_h, uint64_t w_r,
                                                const float* rows, uint64_t n, uint64_t width, uint64_t c,
                                                __mmask16 last) {
  __m512 acc[R][V];
  for (int k = 0; k < R; ++k)
    for (int j = 0; j < V; ++j) {
      const __mmask16 mk = j == V - 1 ? last : __mmask16(0xFFFF);
      acc[k][j] = _mm512_maskz_loadu_ps(mk, out + k * width + c + 16 * j);
    }
  for (uint64_t r = 0; r < n; ++r) {
    __m512 x[V];
    for (int j = 0; j < V; ++j) {
      const __mmask16 mk = j == V - 1 ? last : __mmask16(0xFFFF);
      x[j] = _mm512_maskz_loadu_ps(mk, rows + r * width + c + 16 * j);
    }
    for (int k = 0; k < R; ++k) {
      const float a = w[k * w_h + r * w_r];
      if (Skip && a == 0.0f) continue;
      const __m512 va = _mm512_set1_ps(a);
      for (int j = 0; j < V; ++j) acc[k][j] = _mm512_fmadd_ps(va, x[j], acc[k][j]);
    }
  }
  for (int k = 0; k < R; ++k)
    for (int j = 0; j < V; ++j) {
      const __mmask16 mk = j == V - 1 ? last : __mmask16(0xFFFF);
      _mm512_mask_storeu_ps(out + k * width + c + 16 * j, mk, acc[k][j]);
    }
}

template <int R, bool Skip>
VORPEL_AVX512 void weighted_rows_avx512(float* out, const float* w, uint64_t w_h, uint64_t w_r, const float* rows,
                                        uint64_t n, uint64_t width) {
  uint64_t c = 0;
  for (; c + 32 <= width; c += 32) weighted_rows_tile512<R, 2, Skip>(out, w, w_h, w_r, rows, n, width, c, 0xFFFF);
  for (; c + 16 <= width; c += 16) weighted_rows_tile512<R, 1, Skip>(out, w, w_h, w_r, rows, n, width, c, 0xFFFF);
  if (c < width)
    weighted_rows_tile512<R, 1, Skip>(out, w, w_h, w_r, rows, n, width, c,
                                      static_cast<__mmask16>((1u << (width - c)) - 1));
}

// True when some weight in use is exactly zero (or the weights are not one
// dense block, where it is not worth finding out).
VORPEL_AVX512 bool may_hold_zero(const float* w, uint64_t m, uint64_t w_h, uint64_t w_r, uint64_t n) {
  if (!((w_r == 1 && w_h == n) || (w_h == 1 && w_r == m))) return true;
  const uint64_t len = m * n;
  const __m512 zero = _mm512_setzero_ps();
  uint64_t i = 0;
  for (; i + 16 <= len; i += 16)
    if (_mm512_cmp_ps_mask(_mm512_loadu_ps(w + i), zero, _CMP_EQ_OQ)) return true;
  for (; i < len; ++i)
    if (w[i] == 0.0f) return true;
  return false;
}

template <bool Skip>
VORPEL_AVX512 void weighted_rows_all512(float* out, uint64_t m, const float* w, uint64_t w_h, uint64_t w_r,
                                        const float* rows, uint64_t n, uint64_t width) {
  uint64_t h = 0;
  for (; h + 4 <= m; h += 4)
    weighted_rows_avx512<4, Skip>(out + h * width, w + h * w_h, w_h, w_r, rows, n, width);
  for (; h < m; ++h) weighted_rows_avx512<1, Skip>(out + h * width, w + h * w_h, w_h, w_r, rows, n, width);
}

VORPEL_AVX512 void add_weighted_rows_avx512(float* out, uint64_t m, const float* w, uint64_t w_h, uint64_t w_r,
                                            const float* rows, uint64_t n, uint64_t width, bool skip_zero) {
  if (skip_zero && may_hold_zero(w, m, w_h, w_r, n))
    weighted_rows_all512<true>(out, m, w, w_h, w_r, rows, n, width);
  else
    weighted_rows_all512<false>(out, m, w, w_h, w_r, rows, n, width);
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
// The norms' loops on 8 lanes, in plain AVX: without FMA in the target the
// products and sums round exactly as the portable loops do, so both paths
// give the same bits (the eight partial sums are the portable ones).
__attribute__((target("avx"))) float sum_squares_avx(const float* x, uint64_t n) {
  __m256 acc = _mm256_setzero_ps();
  uint64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 v = _mm256_loadu_ps(x + i);
    acc = _mm256_add_ps(acc, _mm256_mul_ps(v, v));
  }
  alignas(32) float a[8];
  _mm256_store_ps(a, acc);
  float s = 0.0f;
  for (; i < n; ++i) s += x[i] * x[i];
  return s + ((a[0] + a[4]) + (a[1] + a[5])) + ((a[2] + a[6]) + (a[3] + a[7]));
}

// out = (1 + w) * x / r, or x / r without weights.
__attribute__((target("avx"))) void scale_div_avx(const float* x, const float* w, float r, float* out, uint64_t n) {
  const __m256 vr = _mm256_set1_ps(r), one = _mm256_set1_ps(1.0f);
  uint64_t i = 0;
  if (w != nullptr) {
    for (; i + 8 <= n; i += 8)
      _mm256_storeu_ps(out + i, _mm256_div_ps(_mm256_mul_ps(_mm256_add_ps(one, _mm256_loadu_ps(w + i)),
                                                            _mm256_loadu_ps(x + i)),
                                              vr));
    for (; i < n; ++i) out[i] = (1.0f + w[i]) * x[i] / r;
  } else {
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(out + i, _mm256_div_ps(_mm256_loadu_ps(x + i), vr));
    for (; i < n; ++i) out[i] = x[i] / r;
  }
}

// Maximum of s and whether every entry is finite.
__attribute__((target("avx"))) float max_finite_avx(const float* s, uint64_t n, bool& finite) {
  const __m256 inf = _mm256_set1_ps(std::numeric_limits<float>::infinity());
  const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  __m256 m = _mm256_set1_ps(-std::numeric_limits<float>::infinity());
  __m256 ok = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
  uint64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 v = _mm256_loadu_ps(s + i);
    // max_ps returns its second operand when either is NaN: keep m in second place
    // so that a NaN never becomes the maximum, as in the scalar loop.
    m = _mm256_max_ps(v, m);
    ok = _mm256_and_ps(ok, _mm256_cmp_ps(_mm256_and_ps(v, abs_mask), inf, _CMP_LT_OQ));
  }
  alignas(32) float a[8];
  _mm256_store_ps(a, m);
  float mx = a[0];
  for (int k = 1; k < 8; ++k) mx = std::max(mx, a[k]);
  finite = _mm256_movemask_ps(ok) == 0xff;
  for (; i < n; ++i) {
    if (s[i] > mx) mx = s[i];
    finite &= std::isfinite(s[i]);
  }
  return mx;
}

__attribute__((target("avx"))) void div_avx(float* s, float d, uint64_t n) {
  const __m256 vd = _mm256_set1_ps(d);
  uint64_t i = 0;
  for (; i + 8 <= n; i += 8) _mm256_storeu_ps(s + i, _mm256_div_ps(_mm256_loadu_ps(s + i), vd));
  for (; i < n; ++i) s[i] /= d;
}

__attribute__((target("avx2,fma"))) float exp_shift_sum_avx2(float* s, uint64_t n, float m) {
  const __m256 vm = _mm256_set1_ps(m);
  __m256 acc = _mm256_setzero_ps();
  uint64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 e = exp8(_mm256_sub_ps(_mm256_loadu_ps(s + i), vm));
    _mm256_storeu_ps(s + i, e);
    acc = _mm256_add_ps(acc, e);
  }
  float sum = simd::hsum(acc);
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

__attribute__((target("avx2,fma"))) void silu_inplace_avx2(float* v, uint64_t n) {
  uint64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 z = _mm256_loadu_ps(v + i);
    _mm256_storeu_ps(v + i, _mm256_mul_ps(z, sigmoid8(z)));
  }
  for (; i < n; ++i) v[i] = silu(v[i]);
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

using detail::use_avx2;

}  // namespace

float rms_scale(std::span<const float> v) {
  const float n = static_cast<float>(v.size());
  const float ss = use_avx2() ? sum_squares_avx(v.data(), v.size()) : sum_squares(v.data(), v.size());
  return std::sqrt(ss / n + kNormEps);
}

void rms_norm(std::span<const float> x, std::span<const float> w, std::span<float> out) {
  VORPEL_CHECK(w.size() == x.size() && out.size() == x.size(), "rms_norm: length mismatch");
  const float r = rms_scale(x);
  if (use_avx2()) return scale_div_avx(x.data(), w.data(), r, out.data(), x.size());
  for (size_t i = 0; i < x.size(); ++i) out[i] = (1.0f + w[i]) * x[i] / r;
}

void rms_normalize(std::span<const float> x, std::span<float> out) {
  VORPEL_CHECK(out.size() == x.size(), "rms_normalize: length mismatch");
  const float r = rms_scale(x);
  if (use_avx2()) return scale_div_avx(x.data(), nullptr, r, out.data(), x.size());
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

void add_weighted_rows(float* out, uint64_t m, const float* w, uint64_t w_h, uint64_t w_r, const float* rows,
                       uint64_t n, uint64_t width, bool skip_zero) {
  if (detail::use_avx512())
    add_weighted_rows_avx512(out, m, w, w_h, w_r, rows, n, width, skip_zero);
  else if (use_avx2())
    add_weighted_rows_avx2(out, m, w, w_h, w_r, rows, n, width, skip_zero);
  else
    add_weighted_rows_portable(out, m, w, w_h, w_r, rows, n, width, skip_zero);
}

void silu_inplace(float* v, uint64_t n) {
  if (use_avx2()) return silu_inplace_avx2(v, n);
  for (uint64_t i = 0; i < n; ++i) v[i] = silu(v[i]);
}

void softmax_uniform_fallback(std::span<float> s) {
  const bool avx2 = use_avx2();
  const size_t n = s.size();
  if (n == 0) return;
  float m = -std::numeric_limits<float>::infinity();
  bool finite = true;
  if (avx2) {
    m = max_finite_avx(s.data(), n, finite);
  } else {
    for (float v : s) {
      if (v > m) m = v;
      finite &= std::isfinite(v);
    }
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
    if (avx2)
      div_avx(s.data(), sum, n);
    else
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

// Natural log on 8 lanes of positive normal floats: x = m * 2^e with m in
// [sqrt(1/2), sqrt(2)), log(1 + f) by the classic degree-9 polynomial and e
// * ln 2 added in two parts (within about 1 ulp of logf).
__attribute__((target("avx2,fma"))) inline __m256 log8(__m256 x) {
  const __m256i bits = _mm256_castps_si256(x);
  __m256 e = _mm256_cvtepi32_ps(_mm256_sub_epi32(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(126)));
  // Mantissa in [0.5, 1).
  __m256 m = _mm256_castsi256_ps(
      _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi32(0x007FFFFF)), _mm256_set1_epi32(0x3F000000)));
  const __m256 small = _mm256_cmp_ps(m, _mm256_set1_ps(0.707106781186547524f), _CMP_LT_OQ);
  e = _mm256_sub_ps(e, _mm256_and_ps(small, _mm256_set1_ps(1.0f)));
  m = _mm256_add_ps(_mm256_sub_ps(m, _mm256_set1_ps(1.0f)), _mm256_and_ps(small, m));  // f = 2m - 1 or m - 1
  const __m256 z = _mm256_mul_ps(m, m);
  __m256 y = _mm256_set1_ps(7.0376836292e-2f);
  y = _mm256_fmadd_ps(y, m, _mm256_set1_ps(-1.1514610310e-1f));
  y = _mm256_fmadd_ps(y, m, _mm256_set1_ps(1.1676998740e-1f));
  y = _mm256_fmadd_ps(y, m, _mm256_set1_ps(-1.2420140846e-1f));
  y = _mm256_fmadd_ps(y, m, _mm256_set1_ps(1.4249322787e-1f));
  y = _mm256_fmadd_ps(y, m, _mm256_set1_ps(-1.6668057665e-1f));
  y = _mm256_fmadd_ps(y, m, _mm256_set1_ps(2.0000714765e-1f));
  y = _mm256_fmadd_ps(y, m, _mm256_set1_ps(-2.4999993993e-1f));
  y = _mm256_fmadd_ps(y, m, _mm256_set1_ps(3.3333331174e-1f));
  y = _mm256_mul_ps(_mm256_mul_ps(y, m), z);
  y = _mm256_fmadd_ps(e, _mm256_set1_ps(-2.12194440e-4f), y);
  y = _mm256_fnmadd_ps(z, _mm256_set1_ps(0.5f), y);
  return _mm256_fmadd_ps(e, _mm256_set1_ps(0.693359375f), _mm256_add_ps(m, y));
}

// exp with results below the smallest normal flushed to 0, as exp_inplace_avx2.
__attribute__((target("avx2,fma"))) inline __m256 exp8_flush(__m256 x) {
  return _mm256_and_ps(exp8(x), _mm256_cmp_ps(x, _mm256_set1_ps(-87.0f), _CMP_GE_OQ));
}

// Within each group of four lanes, every lane gets the group's max / sum.
__attribute__((target("avx2,fma"))) inline __m256 group4_max(__m256 x) {
  x = _mm256_max_ps(x, _mm256_permute_ps(x, 0xB1));  // swap neighbours
  return _mm256_max_ps(x, _mm256_permute_ps(x, 0x4E));  // swap pairs
}
__attribute__((target("avx2,fma"))) inline __m256 group4_sum(__m256 x) {
  x = _mm256_add_ps(x, _mm256_permute_ps(x, 0xB1));
  return _mm256_add_ps(x, _mm256_permute_ps(x, 0x4E));
}
__attribute__((target("avx2,fma"))) inline __m256 swap_halves(__m256 x) { return _mm256_permute2f128_ps(x, x, 1); }

// The four-lane matrix (the usual mHC width) held in two registers, rows 0-1
// and rows 2-3: a row's entries are one group of four lanes, a column's are
// the same lane of both halves of both registers. Finite input only. N
// matrices go through the rounds together: each is one long dependent chain
// of exp and log, so interleaving them fills the pipeline; every matrix sees
// exactly the operations it would see alone.
template <int N>
__attribute__((target("avx2,fma"))) void sinkhorn4_avx2(float* const* rs, int rounds) {
  __m256 a[N], b[N];
  for (int k = 0; k < N; ++k) a[k] = _mm256_loadu_ps(rs[k]), b[k] = _mm256_loadu_ps(rs[k] + 8);
  for (int it = 0; it < rounds; ++it) {
    for (int k = 0; k < N; ++k) {
      const __m256 ma = group4_max(a[k]), mb = group4_max(b[k]);
      a[k] = _mm256_sub_ps(a[k], _mm256_add_ps(ma, log8(group4_sum(exp8_flush(_mm256_sub_ps(a[k], ma))))));
      b[k] = _mm256_sub_ps(b[k], _mm256_add_ps(mb, log8(group4_sum(exp8_flush(_mm256_sub_ps(b[k], mb))))));
    }
    for (int k = 0; k < N; ++k) {
      __m256 m = _mm256_max_ps(a[k], b[k]);
      m = _mm256_max_ps(m, swap_halves(m));
      __m256 s = _mm256_add_ps(exp8_flush(_mm256_sub_ps(a[k], m)), exp8_flush(_mm256_sub_ps(b[k], m)));
      s = _mm256_add_ps(s, swap_halves(s));
      const __m256 lse = _mm256_add_ps(m, log8(s));
      a[k] = _mm256_sub_ps(a[k], lse);
      b[k] = _mm256_sub_ps(b[k], lse);
    }
  }
  for (int k = 0; k < N; ++k) {
    _mm256_storeu_ps(rs[k], exp8_flush(a[k]));
    _mm256_storeu_ps(rs[k] + 8, exp8_flush(b[k]));
  }
}

bool all_finite(std::span<const float> r) {
  for (float v : r)
    if (!std::isfinite(v)) return false;
  return true;
}

// The Sinkhorn rounds with the exponentials of a whole pass done 8 at a time:
// every row (then column) maximum first, all shifted entries exponentiated
// together, then the sums. Only for finite matrices of at most 16 x 16.
bool sinkhorn_log_avx2(std::span<float> r, uint64_t L, int rounds) {
  constexpr uint64_t kMax = 16;
  if (L > kMax || !all_finite(r)) return false;
  if (L == 4) {
    float* one[] = {r.data()};
    sinkhorn4_avx2<1>(one, rounds);
    return true;
  }
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

void sinkhorn_log_pair(std::span<float> a, std::span<float> b, uint64_t L, int rounds) {
  VORPEL_CHECK(a.size() == L * L && b.size() == L * L, "sinkhorn: matrix is not L x L");
  if (L == 4 && use_avx2() && all_finite(a) && all_finite(b)) {
    float* both[] = {a.data(), b.data()};
    sinkhorn4_avx2<2>(both, rounds);
    return;
  }
  sinkhorn_log(a, L, rounds);
  sinkhorn_log(b, L, rounds);
}

void rope_rotate(float* x, const float* c, const float* s, uint64_t n, uint64_t half) {
  for (uint64_t j = 0; j < n; ++j) {
    const float a = x[j], b = x[j + half];
    x[j] = a * c[j] - b * s[j];
    x[j + half] = b * c[j] + a * s[j];
  }
}

}  // namespace vorpel::ops

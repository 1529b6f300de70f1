// Vector kernels every model generation composes: RMS norms, dot and axpy,
// sigmoid/SiLU gates, softmax with its uniform fallback, log-domain Sinkhorn
// and the half-split rotary rotation. Scalar code unless noted; dot/axpy, the
// gates, the softmax exponentials and Sinkhorn pick AVX2 at run time.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>

namespace vorpel::ops {

// Added to the mean square inside the square root of every RMS norm.
inline constexpr float kNormEps = 1e-6f;

inline float sigmoid(float z) { return 1.0f / (1.0f + std::exp(-z)); }
inline float silu(float z) { return z * sigmoid(z); }

// sqrt(sum(v^2)/n + eps) in single precision.
float rms_scale(std::span<const float> v);
// out[i] = (1 + w[i]) * x[i] / rms(x): norm weights are stored as offsets from one.
// x and out may be the same.
void rms_norm(std::span<const float> x, std::span<const float> w, std::span<float> out);
// out[i] = x[i] / rms(x); x and out may be the same.
void rms_normalize(std::span<const float> x, std::span<float> out);

float dot(const float* a, const float* b, uint64_t n);
// y[i] += a * x[i]
void axpy(float* y, float a, const float* x, uint64_t n);
// A small matrix product: for h < m, out[h * width + c] += sum over r < n, in
// order, of w[h * w_h + r * w_r] * rows[r * width + c]. With skip_zero a weight
// of exactly zero adds nothing, even against an infinite or NaN row entry.
void add_weighted_rows(float* out, uint64_t m, const float* w, uint64_t w_h, uint64_t w_r, const float* rows,
                       uint64_t n, uint64_t width, bool skip_zero);

// Turns scores into weights in place: exp(s - max) / sum, with every weight
// 1/n when the max is -inf or the sum is 0 (non-finite scores never raise).
void softmax_uniform_fallback(std::span<float> s);

// log(sum(exp(v))) stabilised by the maximum (NaN entries ignored for the
// maximum); the maximum itself when it is not finite. v[i * stride], i < n.
float log_sum_exp(const float* v, uint64_t n, uint64_t stride);
// In place on the L x L row-major matrix r: `rounds` times, every row minus its
// lse, then every column minus its lse; finally every entry exponentiated.
void sinkhorn_log(std::span<float> r, uint64_t L, int rounds);
// Two matrices at once, each with exactly the result sinkhorn_log gives it.
void sinkhorn_log_pair(std::span<float> a, std::span<float> b, uint64_t L, int rounds);

// o[i] *= sigmoid(gt[i]).
void mul_sigmoid(float* o, const float* gt, uint64_t n);
// w[i] = SiLU((w[i] / div) * d[i]).
void silu_scaled(float* w, const float* d, float div, uint64_t n);
// v[i] = silu(v[i]) (AVX2: exponentials 8 at a time).
void silu_inplace(float* v, uint64_t n);

// Half-split rotation of frequencies 0..n-1 of x: the pair (x[j], x[j+half]) by
// the angle with cosine c[j] and sine s[j].
void rope_rotate(float* x, const float* c, const float* s, uint64_t n, uint64_t half);

}  // namespace vorpel::ops

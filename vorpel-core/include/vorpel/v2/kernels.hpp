// Small vector kernels of the second-generation forward pass: norms, gates,
// softmax with its uniform fallbacks, log-domain Sinkhorn, rotary positions,
// dot and axpy. Scalar code unless noted; dot/axpy, the attention kernels,
// the gates and Sinkhorn pick AVX2 at run time.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>

namespace vorpel::v2 {

inline constexpr float kNormEps = 1e-6f;

inline float sigmoid(float z) { return 1.0f / (1.0f + std::exp(-z)); }
inline float silu(float z) { return z * sigmoid(z); }

// sqrt(sum(v^2)/n + eps) in single precision.
float rms_scale(std::span<const float> v);
// out[i] = (1 + w[i]) * x[i] / rms(x); x and out may be the same.
void rms_norm(std::span<const float> x, std::span<const float> w, std::span<float> out);
// out[i] = x[i] / rms(x); x and out may be the same.
void rms_normalize(std::span<const float> x, std::span<float> out);

float dot(const float* a, const float* b, uint64_t n);
// y[i] += a * x[i]
void axpy(float* y, float a, const float* x, uint64_t n);

// Attention of G query heads sharing one key/value head, over n cache rows
// (rows `stride` floats apart; the G queries and outputs are hd floats apart):
//   scores[g*sstride + i] = (q_g . k_i) / scale
//   out_g += sum_i w[g*wstride + i] * v_i
// Sharing the rows between the G queries reads each cached row once. AVX2 when present.
void attention_scores(const float* q, uint64_t G, const float* k, uint64_t stride, uint64_t n, uint64_t hd,
                      float scale, float* scores, uint64_t sstride);
void attention_accumulate(const float* w, uint64_t wstride, uint64_t G, const float* v, uint64_t stride, uint64_t n,
                          uint64_t hd, float* out);

// Turns scores into attention weights in place: exp(s - max) / sum, with every
// weight 1/n when the max is -inf or the sum is 0 (non-finite scores never raise).
void softmax_uniform_fallback(std::span<float> s);

// log(sum(exp(v))) stabilised by the maximum (NaN entries ignored for the
// maximum); the maximum itself when it is not finite.
float log_sum_exp(const float* v, uint64_t n, uint64_t stride);
// In place: rounds x (rows minus their lse, then columns minus theirs) on the
// L x L row-major matrix r, then every entry exponentiated.
void sinkhorn_log(std::span<float> r, uint64_t L, int rounds);

// o[i] *= sigmoid(gt[i]).
void mul_sigmoid(float* o, const float* gt, uint64_t n);
// w[i] = SiLU((w[i] / div) * d[i]).
void silu_scaled(float* w, const float* d, float div, uint64_t n);

// Half-split rotation of frequencies 0..n-1 of x: the pair (x[j], x[j+half]) by
// the angle with cosine c[j] and sine s[j].
void rope_rotate(float* x, const float* c, const float* s, uint64_t n, uint64_t half);

}  // namespace vorpel::v2

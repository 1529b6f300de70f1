// mHC pre-mix, coefficients and lane update.
#include "vorpel/ops/mhc.hpp"

#include <cstring>

#include "vorpel/ops/vector_ops.hpp"

namespace vorpel::ops {

namespace {
constexpr int kSinkhornRounds = 20;
}  // namespace

void mhc_premix(const MhcParams& p, uint64_t L, uint64_t d, uint64_t home, const float* lanes, const float* z,
                float* x_pre) {
  std::memset(x_pre, 0, d * sizeof(float));
  for (uint64_t i = 0; i < L; ++i) {
    const float bias = (i == home) ? 4.0f : -4.0f;
    const float a = sigmoid(z[i] * p.a_pre + p.b_pre[i] + bias);
    axpy(x_pre, a, lanes + i * d, d);
  }
}

namespace {

void affine_coefficients(const MhcParams& p, uint64_t L, uint64_t home, float* post, float* res) {
  for (uint64_t i = 0; i < L; ++i) {
    const float bias = (i == home) ? 0.0f : -4.0f;
    post[i] = 2.0f * sigmoid(post[i] * p.a_post + p.b_post[i] + bias);
  }
  for (uint64_t e = 0; e < L * L; ++e) res[e] = res[e] * p.a_res + p.b_res[e];
}

}  // namespace

void mhc_coefficients(const MhcParams& p, uint64_t L, uint64_t home, float* post, float* res) {
  affine_coefficients(p, L, home, post, res);
  sinkhorn_log({res, L * L}, L, kSinkhornRounds);
}

void mhc_coefficients_pair(const MhcParams& p, uint64_t L, uint64_t home, float* post_a, float* res_a,
                           float* post_b, float* res_b) {
  affine_coefficients(p, L, home, post_a, res_a);
  affine_coefficients(p, L, home, post_b, res_b);
  sinkhorn_log_pair({res_a, L * L}, {res_b, L * L}, L, kSinkhornRounds);
}

void mhc_update(uint64_t L, uint64_t d, const float* res, const float* post, const float* delta, float* lanes,
                float* old) {
  std::memcpy(old, lanes, L * d * sizeof(float));
  for (uint64_t i = 0; i < L; ++i) {
    float* out = lanes + i * d;
    std::memset(out, 0, d * sizeof(float));
    for (uint64_t k = 0; k < L; ++k) axpy(out, res[i * L + k], old + k * d, d);
    axpy(out, post[i], delta, d);
  }
}

void lane_mean(uint64_t L, uint64_t d, const float* lanes, float* y) {
  std::memset(y, 0, d * sizeof(float));
  for (uint64_t k = 0; k < L; ++k)
    for (uint64_t i = 0; i < d; ++i) y[i] += lanes[k * d + i];
  const float inv = static_cast<float>(L);
  for (uint64_t i = 0; i < d; ++i) y[i] /= inv;
}

}  // namespace vorpel::ops

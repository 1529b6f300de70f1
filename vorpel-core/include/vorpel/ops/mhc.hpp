// Multi-lane residual mixing (mHC), shared by the decoder-only generations:
// the residual stream is L lanes of width d; before a block they are mixed
// into its input, after it they are remixed by a doubly stochastic matrix and
// each lane takes a weighted share of the block's output.
#pragma once

#include <cstdint>

namespace vorpel::ops {

// One block's learned mixing scalars: a_* (one each) and b_* (L, L, L*L).
struct MhcParams {
  float a_pre, a_post, a_res;
  const float* b_pre;   // (L)
  const float* b_post;  // (L)
  const float* b_res;   // (L, L)
};

// x_pre = sum_i sigmoid(z_i * a_pre + b_pre_i + c_i) * lane_i, c_i = +4 for the
// home lane (home = block index mod L) and -4 for the others.
void mhc_premix(const MhcParams& p, uint64_t L, uint64_t d, uint64_t home, const float* lanes, const float* z,
                float* x_pre);

// In place: post weights 2 * sigmoid(y_i * a_post + b_post_i + c'_i) (c' = 0
// home, -4 others) over the raw products `post` (L); the residual matrix
// res = a_res * s + b_res (L x L raw products in `res`) made doubly stochastic
// by 20 log-domain Sinkhorn rounds and exponentiated.
void mhc_coefficients(const MhcParams& p, uint64_t L, uint64_t home, float* post, float* res);
// The same for two positions of one block, their Sinkhorn rounds interleaved.
void mhc_coefficients_pair(const MhcParams& p, uint64_t L, uint64_t home, float* post_a, float* res_a,
                           float* post_b, float* res_b);

// lane_i = sum_k res[i][k] * old_lane_k + post_i * delta, from a copy of the
// old lanes in `old` (L * d floats of work).
void mhc_update(uint64_t L, uint64_t d, const float* res, const float* post, const float* delta, float* lanes,
                float* old);

// y = element-wise mean over the L lanes.
void lane_mean(uint64_t L, uint64_t d, const float* lanes, float* y);

}  // namespace vorpel::ops

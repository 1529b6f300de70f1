// Per-position pieces of the second-generation block.
#include "parts.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "vorpel/core/panic.hpp"
#include "vorpel/cq/cq_kernels.hpp"
#include "vorpel/hadamard/fwht.hpp"
#include "vorpel/ops/attention.hpp"
#include "vorpel/ops/mhc.hpp"
#include "vorpel/ops/vector_ops.hpp"

namespace vorpel::v2::parts {

using namespace vorpel::ops;

void engram_fetch(const V2Model& m, const V2Engram& e, const uint32_t* history, uint64_t p, float* f, float* buf) {
  const V2Geometry& g = m.geom;
  const uint64_t per_order = g.tables_per_order();
  for (uint64_t k = 0; k < g.num_tables; ++k) {
    const uint64_t n = g.orders[k / per_order];
    float* slice = f + k * g.sub_dim;
    // An n-gram that does not fit yet contributes zeros (this also keeps a
    // huge declared order from costing anything).
    if (n != 0 && p < n - 1) {
      std::memset(slice, 0, g.sub_dim * sizeof(float));
      continue;
    }
    uint32_t h = static_cast<uint32_t>(k + 1) * 0x9E3779B9u;
    for (uint64_t i = 0; i < n; ++i) {
      if (p >= i) h ^= history[p - i];
      h *= 16777619u;
    }
    const uint64_t row = k * g.table_rows + (h ^ (h >> 15)) % g.table_rows;
    cq::decode_row(e.tables, row, slice, buf);
  }
}

void engram_conv(const V2Model& m, const V2Engram& e, const float* ring, uint64_t p, float* conv) {
  const V2Geometry& g = m.geom;
  const uint64_t d = g.d_model, R = g.ring_len();
  std::memset(conv, 0, d * sizeof(float));
  for (uint64_t q = 0; q < g.conv_taps; ++q) {
    const uint64_t back = q * g.tap_stride;
    if (p < back) continue;
    const float* tap = e.taps.data() + q * d;
    const float* val = ring + ((p - back) % R) * d;
    for (uint64_t i = 0; i < d; ++i) conv[i] += tap[i] * val[i];
  }
}

ops::MhcParams mhc_params(const V2Model& m, uint64_t l) {
  const uint64_t L = m.geom.mhc_lanes;
  return {m.mhc.a_pre[l],          m.mhc.a_post[l],          m.mhc.a_res[l],
          m.mhc.b_pre.data() + l * L, m.mhc.b_post.data() + l * L, m.mhc.b_res.data() + l * L * L};
}

void pre_mix(const V2Model& m, uint64_t l, const float* lanes, const float* z, float* x_pre) {
  const uint64_t L = m.geom.mhc_lanes;
  ops::mhc_premix(mhc_params(m, l), L, m.geom.d_model, l % L, lanes, z, x_pre);
}

float engram_gate(const V2Model& m, const float* x_pre, const float* key) {
  const uint64_t d = m.geom.d_model;
  const float rx = rms_scale({x_pre, d}), rk = rms_scale({key, d});
  float s = 0.0f;
  for (uint64_t i = 0; i < d; ++i) s += (x_pre[i] / rx) * (key[i] / rk);
  return sigmoid(s / std::sqrt(static_cast<float>(d)));
}

void qk_norm_rope(const V2Model& m, uint64_t l, uint64_t p, float* q, float* k) {
  const V2Geometry& g = m.geom;
  const V2Layer& ly = m.layers[l];
  const uint64_t hd = g.head_dim;
  for (uint64_t h = 0; h < g.num_heads; ++h) rms_norm({q + h * hd, hd}, ly.q_norm, {q + h * hd, hd});
  for (uint64_t h = 0; h < g.num_kv_heads; ++h) rms_norm({k + h * hd, hd}, ly.k_norm, {k + h * hd, hd});
  m.rope.rotate(q, g.num_heads, p);
  m.rope.rotate(k, g.num_kv_heads, p);
}

uint64_t attended(uint64_t window, uint64_t p) {
  const uint64_t first = (window != 0 && p + 1 >= window) ? p - window + 1 : 0;
  return p - first + 1;
}

void attend(const V2Model& m, const ops::KvView& kv, uint64_t window, uint64_t p, const float* q, float* o,
            uint64_t h0, uint64_t h1, float* scores) {
  const V2Geometry& g = m.geom;
  const uint64_t n = attended(window, p);
  ops::attend(kv, g.num_heads / g.num_kv_heads, q, o, h0, h1, p + 1 - n, n,
              std::sqrt(static_cast<float>(g.head_dim)), scores);
}

void finish_block(const V2Model& m, uint64_t l, const float* x, const float* x_pre, float* a, float* hada,
                  float* h1, float* delta, float* zb, float* r, float* lanes, float* old, bool mixed) {
  const V2Geometry& g = m.geom;
  const V2Layer& ly = m.layers[l];
  const uint64_t d = g.d_model, L = g.mhc_lanes, n = g.hada_n;
  rms_norm({a, d}, ly.post_norm, {a, d});
  const float ag = sigmoid(ly.attn_gate[0]);
  for (uint64_t i = 0; i < d; ++i) h1[i] = x[i] + ag * a[i];

  // Hadamard MLP: diagonal, rotate, SiLU(diagonal), rotate back, diagonal.
  rms_norm({h1, d}, ly.pre_hada, {a, d});  // a is free now: it holds m
  for (uint64_t i = 0; i < d; ++i) hada[i] = a[i] * ly.d1[i];
  std::memset(hada + d, 0, (n - d) * sizeof(float));
  const float inv = std::sqrt(static_cast<float>(n));
  fwht_butterfly({hada, n});
  silu_scaled(hada, ly.d2.data(), inv, n);
  fwht_butterfly({hada, n});
  // h2 = h1 + mlp; the block's contribution is measured from x_pre, so it includes the engram injection.
  for (uint64_t i = 0; i < d; ++i) delta[i] = h1[i] + (hada[i] / inv) * ly.d3[i] - x_pre[i];

  // Post weights and the doubly stochastic residual mix, then the new lanes.
  if (!mixed) ops::mhc_coefficients(mhc_params(m, l), L, l % L, zb, r);
  ops::mhc_update(L, d, r, zb, delta, lanes, old);
}

void mix_coefficients_pair(const V2Model& m, uint64_t l, float* zb_a, float* r_a, float* zb_b, float* r_b) {
  const uint64_t L = m.geom.mhc_lanes;
  if (zb_b == nullptr)
    ops::mhc_coefficients(mhc_params(m, l), L, l % L, zb_a, r_a);
  else
    ops::mhc_coefficients_pair(mhc_params(m, l), L, l % L, zb_a, r_a, zb_b, r_b);
}

void lane_mean(const V2Model& m, const float* lanes, float* y) {
  ops::lane_mean(m.geom.mhc_lanes, m.geom.d_model, lanes, y);
}

}  // namespace vorpel::v2::parts

// Per-position pieces of the second-generation block.
#include "parts.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "vorpel/core/panic.hpp"
#include "vorpel/cq/cq_kernels.hpp"
#include "vorpel/hadamard/fwht.hpp"
#include "vorpel/v2/kernels.hpp"

namespace vorpel::v2::parts {

void decode_row(const cq::CqTensor& t, uint64_t r, float* out, float* buf) {
  VORPEL_CHECK(r < t.rows(), "decode_row: row out of range");
  const uint64_t b = t.block(), pc = t.padded_cols(), rb = t.row_bytes();
  const uint8_t* codes = t.codes().data() + r * rb;
  const float* scales = t.scales().data() + r * t.blocks_per_row();
  if (const uint32_t k = t.codes_per_byte(); k != 0) {
    // Each code byte selects k ready values from the lookup table.
    const float* lut = t.lut().data();
    for (uint64_t i = 0; i < rb; ++i) std::memcpy(buf + i * k, lut + codes[i] * k, k * sizeof(float));
  } else {
    // 3-bit codes straddle bytes: read the next byte only when the code needs it.
    const float* cb = t.codebook().data();
    for (uint64_t j = 0; j < pc; ++j) {
      const uint64_t bit = 3 * j, at = bit >> 3, sh = bit & 7;
      uint32_t v = codes[at];
      if (sh + 3 >= 9) v |= static_cast<uint32_t>(codes[at + 1]) << 8;
      buf[j] = cb[(v >> sh) & 7];
    }
  }
  for (uint64_t k = 0; k < t.blocks_per_row(); ++k)
    for (uint64_t i = 0; i < b; ++i) buf[k * b + i] *= scales[k];
  fwht_blockwise({buf, pc}, b);
  std::memcpy(out, buf, t.cols() * sizeof(float));
}

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
    decode_row(e.tables, row, slice, buf);
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

void pre_mix(const V2Model& m, uint64_t l, const float* lanes, const float* z, float* x_pre) {
  const uint64_t L = m.geom.mhc_lanes, d = m.geom.d_model;
  std::memset(x_pre, 0, d * sizeof(float));
  for (uint64_t i = 0; i < L; ++i) {
    const float home = (i == l % L) ? 4.0f : -4.0f;
    const float a = sigmoid(z[i] * m.mhc.a_pre[l] + m.mhc.b_pre[l * L + i] + home);
    axpy(x_pre, a, lanes + i * d, d);
  }
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
  const uint64_t hd = g.head_dim, half = hd / 2;
  for (uint64_t h = 0; h < g.num_heads; ++h) rms_norm({q + h * hd, hd}, ly.q_norm, {q + h * hd, hd});
  for (uint64_t h = 0; h < g.num_kv_heads; ++h) rms_norm({k + h * hd, hd}, ly.k_norm, {k + h * hd, hd});
  // cos/sin of this position in slices of 256 frequencies (no allocation).
  constexpr uint64_t kSlice = 256;
  float c[kSlice], s[kSlice];
  for (uint64_t j0 = 0; j0 < half; j0 += kSlice) {
    const uint64_t nj = std::min(kSlice, half - j0);
    for (uint64_t j = 0; j < nj; ++j) m.rope(p, j0 + j, c[j], s[j]);
    for (uint64_t h = 0; h < g.num_heads; ++h) rope_rotate(q + h * hd + j0, c, s, nj, half);
    for (uint64_t h = 0; h < g.num_kv_heads; ++h) rope_rotate(k + h * hd + j0, c, s, nj, half);
  }
}

uint64_t attended(uint64_t window, uint64_t p) {
  const uint64_t first = (window != 0 && p + 1 >= window) ? p - window + 1 : 0;
  return p - first + 1;
}

void attend(const V2Model& m, const float* kc, const float* vc, uint64_t capacity, uint64_t window, uint64_t p,
            const float* q, float* o, uint64_t h0, uint64_t h1, float* scores) {
  const V2Geometry& g = m.geom;
  const uint64_t hd = g.head_dim, kvd = g.kv_dim(), group = g.num_heads / g.num_kv_heads;
  const uint64_t n = attended(window, p), first = p + 1 - n;
  const float scale = std::sqrt(static_cast<float>(hd));
  // Positions F..p are consecutive slots of the ring; split them into
  // contiguous runs (more than two only when the window exceeds the capacity).
  // Query heads sharing a key/value head go together so each row is read once.
  for (uint64_t h = h0; h < h1;) {
    const uint64_t kvh = h / group;
    const uint64_t G = std::min(h1, (kvh + 1) * group) - h;
    const float* qh = q + h * hd;
    const float* kh = kc + kvh * hd;
    const float* vh = vc + kvh * hd;
    for (uint64_t done = 0, slot = first % capacity; done < n; slot = 0) {
      const uint64_t len = std::min(n - done, capacity - slot);
      attention_scores(qh, G, kh + slot * kvd, kvd, len, hd, scale, scores + done, n);
      done += len;
    }
    for (uint64_t g = 0; g < G; ++g) softmax_uniform_fallback({scores + g * n, n});
    float* oh = o + h * hd;
    std::memset(oh, 0, G * hd * sizeof(float));
    for (uint64_t done = 0, slot = first % capacity; done < n; slot = 0) {
      const uint64_t len = std::min(n - done, capacity - slot);
      attention_accumulate(scores + done, n, G, vh + slot * kvd, kvd, len, hd, oh);
      done += len;
    }
    h += G;
  }
}

void finish_block(const V2Model& m, uint64_t l, const float* x, const float* x_pre, float* a, float* hada,
                  float* h1, float* delta, float* zb, float* r, float* lanes, float* old) {
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

  // Post weights and the doubly stochastic residual mix.
  float* bw = zb;  // post weights overwrite the raw products
  for (uint64_t i = 0; i < L; ++i) {
    const float home = (i == l % L) ? 0.0f : -4.0f;
    bw[i] = 2.0f * sigmoid(zb[i] * m.mhc.a_post[l] + m.mhc.b_post[l * L + i] + home);
  }
  const float* b_res = m.mhc.b_res.data() + l * L * L;
  for (uint64_t e = 0; e < L * L; ++e) r[e] = r[e] * m.mhc.a_res[l] + b_res[e];
  sinkhorn_log({r, L * L}, L, 20);

  std::memcpy(old, lanes, L * d * sizeof(float));
  for (uint64_t i = 0; i < L; ++i) {
    float* out = lanes + i * d;
    std::memset(out, 0, d * sizeof(float));
    for (uint64_t k = 0; k < L; ++k) axpy(out, r[i * L + k], old + k * d, d);
    axpy(out, bw[i], delta, d);
  }
}

void lane_mean(const V2Model& m, const float* lanes, float* y) {
  const uint64_t L = m.geom.mhc_lanes, d = m.geom.d_model;
  std::memset(y, 0, d * sizeof(float));
  for (uint64_t k = 0; k < L; ++k)
    for (uint64_t i = 0; i < d; ++i) y[i] += lanes[k * d + i];
  const float inv = static_cast<float>(L);
  for (uint64_t i = 0; i < d; ++i) y[i] /= inv;
}

}  // namespace vorpel::v2::parts

// Per-position pieces shared by the single-token step and the prompt pass, so
// both compute the same function and differ only in how products are grouped.
#pragma once

#include <cstdint>
#include <span>

#include "vorpel/ops/attention.hpp"
#include "vorpel/v2/model.hpp"

namespace vorpel::v2::parts {

// Engram fetch of position p from the token history: each table's hashed row
// decoded into its sub_dim slice of f (d_model floats), zero while the n-gram
// does not fit yet. buf: the tables' padded_cols floats of work.
void engram_fetch(const V2Model& m, const V2Engram& e, const uint32_t* history, uint64_t p, float* f, float* buf);

// conv = sum over taps q with p >= q*tap_stride of taps[q] * ring[(p - q*stride) mod R].
void engram_conv(const V2Model& m, const V2Engram& e, const float* ring, uint64_t p, float* conv);

// Pre-mix: block input x_pre = sum_i sigmoid(z_i a + b_i +/-4) lane_i.
void pre_mix(const V2Model& m, uint64_t l, const float* lanes, const float* z, float* x_pre);

// Engram injection gate sigmoid((x^ . k^)/sqrt(d)).
float engram_gate(const V2Model& m, const float* x_pre, const float* key);

// Per-head weighted norms and rotary positions on q (num_heads heads) and k (num_kv_heads).
void qk_norm_rope(const V2Model& m, uint64_t l, uint64_t p, float* q, float* k);

// Attention of query heads [h0, h1) at position p over positions F..p of the
// layer's cache; scores needs (h1 - h0) * (p - F + 1) floats.
void attend(const V2Model& m, const ops::KvView& kv, uint64_t window, uint64_t p, const float* q, float* o,
            uint64_t h0, uint64_t h1, float* scores);
// Number of attended positions at p.
uint64_t attended(uint64_t window, uint64_t p);

// Everything after the attention output o of one position: gate, (a = out_proj.o
// given), post norm, residual, Hadamard MLP, mixing into new lanes.
//   a: out_proj . (sigmoid(gt) * o), d_model floats (overwritten)
//   hada: hada_n floats of work; old: L*d_model floats of work
//   zb (L), r (L*L): raw rows of the phi_post / phi_res products, overwritten;
//   with `mixed`, already turned into the post weights and residual matrix
void finish_block(const V2Model& m, uint64_t l, const float* x, const float* x_pre, float* a, float* hada,
                  float* h1, float* delta, float* zb, float* r, float* lanes, float* old, bool mixed = false);

// The post weights and residual matrix of block l for two positions at once
// (for one when zb_b is null), as finish_block would make them.
void mix_coefficients_pair(const V2Model& m, uint64_t l, float* zb_a, float* r_a, float* zb_b, float* r_b);

// Element-wise mean over the lanes.
void lane_mean(const V2Model& m, const float* lanes, float* y);

}  // namespace vorpel::v2::parts

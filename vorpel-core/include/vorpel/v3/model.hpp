// In-memory third-generation model (a full model or one rung of its ladder):
// geometry, per-block weights (projections as CQ matrices, everything else
// f32), the mHC and engram weights of the executed blocks, the feed-forward
// permutations and the tables derived at load.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "vorpel/cq/cq_tensor.hpp"
#include "vorpel/ops/rope.hpp"

namespace vorpel::v3 {

struct V3Geometry {
  uint64_t vocab_size = 0, logit_rows = 0;  // logit_rows: 0 in the header is read as vocab_size
  uint64_t d_model = 0, num_heads = 0, num_kv_heads = 0, head_dim = 0, value_dim = 0;
  uint64_t num_layers = 0;   // blocks executed (the rung depth)
  uint64_t full_layers = 0;  // blocks of the full model in the container
  uint64_t max_seq_len = 0, hada_n = 0, mhc_lanes = 0, kv_window = 0;
  uint64_t global_layer_mask = 0;
  uint64_t qkv_conv_taps = 0;
  uint64_t table_rows = 0, sub_dim = 0, num_tables = 0, conv_taps = 0, tap_stride = 0, engram_seed_stride = 0;
  uint64_t tables_per_order = 0;
  std::vector<uint64_t> orders;        // n-gram order of each order group (1..4 entries)
  std::vector<uint64_t> engram_sites;  // executed block of each site, in site order
  std::vector<uint64_t> global_layers; // executed blocks that attend over the whole cache, ascending
  std::vector<uint64_t> blocks;        // full-model index of each executed block, ascending
  float rope_theta = 0.0f;
  uint32_t kept_12 = 0, kept_16 = 0;   // carried header words, never interpreted

  uint64_t q_dim() const { return num_heads * head_dim; }
  uint64_t k_dim() const { return num_kv_heads * head_dim; }
  uint64_t v_dim() const { return num_kv_heads * value_dim; }
  uint64_t o_dim() const { return num_heads * value_dim; }
  uint64_t lanes_width() const { return mhc_lanes * d_model; }
  uint64_t fetched_dim() const { return num_tables * sub_dim; }
  // The window of local blocks; a window wider than the context is no window.
  uint64_t window() const { return kv_window != 0 && kv_window <= max_seq_len ? kv_window : 0; }
  uint64_t max_order() const;
  // Sides of the Kronecker factors: P = 2^floor(log2(hada_n) / 2), Q = hada_n / P.
  uint64_t kron_p() const;
  uint64_t kron_q() const { return hada_n / kron_p(); }
};

// Structured feed-forward of one block (width H = hada_n).
struct V3Ffn {
  std::vector<float> d1, act_scale, act_bias, d2;  // (H) each
  std::vector<float> d3;                           // (<= H): its length bounds the output
  std::vector<float> k1a, k2a, k3a;                // (P, P) each, row-major
  std::vector<float> k1b, k2b, k3b;                // (Q, Q) each, row-major
  uint64_t experts = 0;                            // E
  std::vector<float> router;                       // (d_model, E): logit_e = sum_i router[i*E + e] u_i
  std::vector<float> components;                   // (E, H)
};

// Norm weights are offsets from one: every norm multiplies by (1 + w[i]).
struct V3Block {
  std::vector<float> norm_in;           // (d_model)
  cq::CqTensor q_proj;                  // (num_heads*head_dim, d_model)
  cq::CqTensor k_proj;                  // (num_kv_heads*head_dim, d_model)
  cq::CqTensor v_proj;                  // (num_kv_heads*value_dim, d_model)
  std::vector<float> q_conv, k_conv, v_conv;  // (qkv_conv_taps, width) or empty; row 0 weights the current input
  std::vector<float> q_norm, k_norm;    // (head_dim)
  cq::CqTensor gate_proj;               // (num_heads*value_dim, d_model): attention output gate
  cq::CqTensor out_proj;                // (d_model, num_heads*value_dim)
  std::vector<float> post_norm;         // (d_model)
  float attn_gate = 0.0f;               // scalar gate of the attention residual
  std::vector<float> ffn_norm;          // (d_model)
  V3Ffn ffn;
  bool global = false;                  // attends over the whole cache
  std::vector<uint32_t> sites;          // engram sites injected here, in site order
};

// mHC weights of the executed blocks, in execution order.
struct V3Mhc {
  std::vector<float> a_pre, a_post, a_res;  // (blocks)
  std::vector<float> b_pre, b_post;         // (blocks, lanes)
  std::vector<float> b_res;                 // (blocks, lanes, lanes)
  cq::CqTensor phi_pre, phi_post;           // (blocks*lanes, lanes*d_model)
  cq::CqTensor phi_res;                     // (blocks*lanes*lanes, lanes*d_model)
};

struct V3Engram {
  cq::CqTensor tables;      // (num_tables*table_rows, sub_dim)
  cq::CqTensor key_proj;    // (d_model, num_tables*sub_dim)
  cq::CqTensor value_proj;  // (d_model, num_tables*sub_dim)
  std::vector<float> taps;  // (conv_taps, d_model); tap 0 weights the current value
};

// A confidence head: probes pooled per cell over every position, combined by
// a read-out attention into one logit (out_0).
struct V3ProbeHead {
  uint8_t code = 0;                 // manifest code: 2 and 3 are confidence heads
  uint64_t cells = 0;               // pooled cells: 1 + executed blocks
  uint64_t probes_per_cell = 0;
  std::vector<float> probes;        // (cells * probes_per_cell, d_model), cell-major
  std::vector<float> item_scales;   // (cells * probes_per_cell)
  uint64_t readouts = 0;            // R
  std::vector<float> queries;       // (R, d_model)
  std::vector<float> biases;        // (R, items): bias of query q, item k at q*items + k
  uint64_t out_dim = 0;
  std::vector<float> proj;          // (out_dim, R*d_model)
  std::vector<float> bias;          // (<= out_dim); missing entries count as 0
  uint64_t items() const { return cells * probes_per_cell; }
};

struct V3Model {
  V3Geometry geom;
  cq::CqTensor embedding;           // (vocab_size, d_model); its first logit_rows rows are the output projection
  std::vector<V3Block> blocks;      // executed blocks, in order
  V3Mhc mhc;
  std::vector<V3Engram> engrams;    // one per site of the rung, in site order
  std::vector<uint32_t> perm1, perm2;  // (<= hada_n) each, indices < hada_n
  std::vector<float> final_norm;    // (d_model)
  std::vector<V3ProbeHead> heads;   // manifest order (only the codes this engine reads)
  ops::RopeTable rope;              // max_seq_len positions (tables capped, the rest computed)

  // First confidence head with an output, or null.
  const V3ProbeHead* confidence_head() const;
};

// Checks of a built model against its geometry, in this order; the texts are
// the load errors' ("layer count does not match geometry", ...). Builds the
// rotary tables. Called once by the loader.
enum class ConstructionError : uint8_t { LayerCount, EngramSiteCount, EmbeddingShape };
std::string message(ConstructionError e);
std::expected<void, ConstructionError> finish_model(V3Model& m);

// Bytes of key/value cache for seq_len positions over the executed blocks:
// f32 4*kv_heads*(head_dim + value_dim) per position and block, int8
// kv_heads*(head_dim + value_dim + 8); a local block counts min(window,
// seq_len) positions. Exact; nullopt only past 128 bits (never wraps).
std::optional<unsigned __int128> kv_bytes(const V3Geometry& g, const std::vector<V3Block>& blocks, uint64_t seq_len,
                                          bool int8);

}  // namespace vorpel::v3

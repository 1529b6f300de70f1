// In-memory second-generation model: validated geometry, weights (CQ matrices
// and f32 vectors), heads, and the tables derived at load (RoPE, embed_scale).
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "vorpel/cq/cq_tensor.hpp"
#include "vorpel/ops/rope.hpp"
#include "vorpel/v2/errors.hpp"
#include "vorpel/v2/geometry.hpp"

namespace vorpel::v2 {

// Norm weights are offsets from one: every norm multiplies by (1 + w[i]).
struct V2Layer {
  std::vector<float> norm_in;  // (d_model)
  cq::CqTensor q_proj;         // (num_heads*head_dim, d_model)
  cq::CqTensor k_proj;         // (num_kv_heads*head_dim, d_model)
  cq::CqTensor v_proj;         // (num_kv_heads*head_dim, d_model)
  std::vector<float> q_norm;   // (head_dim)
  std::vector<float> k_norm;   // (head_dim)
  cq::CqTensor gate_proj;      // (num_heads*head_dim, d_model): attention output gate
  cq::CqTensor out_proj;       // (d_model, num_heads*head_dim)
  std::vector<float> post_norm;  // (d_model)
  std::vector<float> attn_gate;  // (1): scalar gate of the attention residual
  std::vector<float> pre_hada;   // (d_model): norm ahead of the Hadamard MLP
  std::vector<float> d1, d2, d3;  // (hada_n) each: the MLP's diagonal scalings
};

struct V2Engram {
  cq::CqTensor tables;      // (num_tables*table_rows, sub_dim)
  cq::CqTensor key_proj;    // (d_model, sub_dim*num_tables)
  cq::CqTensor value_proj;  // (d_model, sub_dim*num_tables)
  std::vector<float> taps;  // (conv_taps, d_model)
};

struct V2Mhc {
  std::vector<float> a_pre, a_post, a_res;  // (num_layers) each
  std::vector<float> b_pre, b_post;         // (num_layers, mhc_lanes)
  std::vector<float> b_res;                 // (num_layers, mhc_lanes, mhc_lanes)
  cq::CqTensor phi_pre;                     // (num_layers*mhc_lanes, mhc_lanes*d_model)
  cq::CqTensor phi_post;                    // (num_layers*mhc_lanes, mhc_lanes*d_model)
  cq::CqTensor phi_res;                     // (num_layers*mhc_lanes*mhc_lanes, mhc_lanes*d_model)
};

struct V2Head {
  uint8_t kind = 0;  // 1 = contrastive, 2 = confidence
  uint64_t num_probes = 0, out_dim = 0;
  std::vector<float> probes;  // (num_probes, d_model)
  std::vector<float> proj;    // (out_dim, num_probes*d_model)
  std::vector<float> bias;    // (out_dim)
};

struct V2Model {
  V2Geometry geom;
  cq::CqTensor embedding;  // (vocab, d_model); also the tied output projection
  std::vector<V2Layer> layers;
  V2Mhc mhc;
  std::vector<V2Engram> engrams;  // one per engram site, in site order
  std::vector<float> final_norm;  // (d_model)
  std::vector<V2Head> heads;      // manifest order

  // Derived by validate_model.
  float embed_scale = 0.0f;       // sqrt(d_model)
  ops::RopeTable rope;            // max_seq_len positions (tables capped, the rest computed)
  // Engram site of each layer, or -1: the first site whose index equals the layer.
  std::vector<int32_t> site_of_layer;  // (num_layers)
};

// Checks the loaded weights against the geometry (the first failure)
// and then builds the derived tables. Called once by the loader.
std::expected<void, ModelError> validate_model(V2Model& m);

}  // namespace vorpel::v2

// In-memory first-generation model: configuration, the encoder and decoder
// blocks (linear weights packed 4-bit, everything else f32), the optional
// contrastive head and the rotary tables derived at load.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "vorpel/ops/rope.hpp"
#include "vorpel/v1/quant.hpp"

namespace vorpel::v1 {

// Feed-forward activation by its configuration code.
enum class Activation : uint8_t {
  Relu = 0,    // max(a, 0) x max(b, 0)
  SwiGlu = 1,  // a / (1 + exp(-a)) x b
  GeGlu = 2,   // 0.5 a (1 + tanh(0.7978846 (a + 0.044715 a^3))) x b
};

// Fixed special ids (not read from the file).
inline constexpr uint32_t kDecoderStartId = 1;  // also the end token
inline constexpr uint32_t kEndId = 1;
inline constexpr uint32_t kFallbackId = 3;
inline constexpr uint32_t kPrefixId = 4;     // piece stripped from the start of outputs
inline constexpr uint32_t kSeparatorId = 5;  // between query and tool text in the encoder input

struct V1Config {
  uint64_t max_enc_len = 1024;
  Activation activation = Activation::Relu;
  uint64_t d_model = 512;
  uint64_t num_heads = 8;
  uint64_t num_kv_heads = 4;
  uint64_t num_encoder_layers = 12;
  uint64_t num_decoder_layers = 8;
  uint64_t vocab_size = 8192;
  uint64_t max_dec_len = 512;
  uint64_t ffn_dim = 2048;
  bool no_feedforward = true;
  float rope_theta = 10000.0f;
  std::array<uint32_t, 6> special_ids{0, 1, 2, 3, 4, 5};

  // Valid once the loader's checks passed (num_heads > 0, divisibility).
  uint64_t head_dim() const { return d_model / num_heads; }
  uint64_t q_dim() const { return num_heads * head_dim(); }
  uint64_t kv_dim() const { return num_kv_heads * head_dim(); }
  uint64_t group() const { return num_heads / num_kv_heads; }
  // Positions the rotary tables cover: the longest encoder input or decoder sequence.
  uint64_t rope_positions() const { return std::max(max_enc_len, max_dec_len); }
};

// Norm weights are offsets from one: every norm multiplies by (1 + w[i]).
struct V1Attention {
  QuantLinear wq;              // d_model -> num_heads * head_dim
  QuantLinear wk;              // d_model -> num_kv_heads * head_dim
  QuantLinear wv;              // d_model -> num_kv_heads * head_dim
  QuantLinear wo;              // num_heads * head_dim -> d_model
  std::vector<float> q_norm;   // (head_dim)
  std::vector<float> k_norm;   // (head_dim)
};

struct V1FeedForward {
  QuantLinear gate_proj;     // d_model -> ffn_dim
  QuantLinear up_proj;       // d_model -> ffn_dim
  QuantLinear down_proj;     // ffn_dim -> d_model
  float gate = 0.0f;         // the branch is scaled by sigmoid(gate)
  std::vector<float> norm;   // (d_model)
};

struct V1Cross {
  V1Attention attn;          // keys and values come from the encoder output
  float gate = 0.0f;
  std::vector<float> norm;   // (d_model)
};

struct V1Block {
  V1Attention self_attn;
  float self_attn_gate = 0.0f;
  std::vector<float> self_attn_norm;  // (d_model): "norm" in the encoder, "self_attn_norm" in the decoder
  std::optional<V1FeedForward> ffn;   // absent when the configuration disables feed-forward blocks
  std::optional<V1Cross> cross;       // decoder blocks only
};

struct V1ContrastiveHead {
  uint64_t hidden = 0, dim = 0;      // H and C
  std::vector<float> hidden_kernel;  // (d_model, H)
  std::vector<float> hidden_bias;    // (H)
  std::vector<float> proj_kernel;    // (H, C)
};

struct V1Model {
  V1Config config;
  std::vector<float> embedding;  // (vocab_size, d_model); also the output projection
  std::vector<V1Block> encoder;  // (num_encoder_layers)
  std::vector<V1Block> decoder;  // (num_decoder_layers)
  std::vector<float> encoder_final_norm;  // (d_model)
  std::vector<float> decoder_final_norm;  // (d_model)
  ops::RopeTable rope;                    // rope_positions() positions, head_dim / 2 frequencies
  std::optional<V1ContrastiveHead> contrastive;

  uint64_t contrastive_dim() const { return contrastive ? contrastive->dim : 0; }
};

}  // namespace vorpel::v1

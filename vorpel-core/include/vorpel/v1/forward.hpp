// First-generation forward pass: the encoder over a whole input, the
// cross-attention caches built from its output, the single-token decoder step
// with its self-attention cache, and the contrastive head. Everything runs on
// the calling thread.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "vorpel/v1/model.hpp"

namespace vorpel::v1 {

// act(a, b) of a feed-forward hidden unit.
float activate(Activation act, float a, float b);

// Row t of the embedding times sqrt(d_model) into x (d_model values). An id
// at or beyond vocab_size reads the last row: the vocabulary file may list more
// pieces than the model has rows, and nothing past the matrix is ever read.
void embed(const V1Model& m, uint32_t t, std::span<float> x);

// The encoder output E (tokens.size() rows of d_model, after the final norm).
// Token i sits at rotary position i, so tokens.size() must not exceed
// config.rope_positions() (a Panic otherwise).
std::vector<float> encode(const V1Model& m, std::span<const uint32_t> tokens);

// One decoder block's self-attention cache: key and value rows of
// num_kv_heads x head_dim floats, grown as positions are filled, never beyond
// `capacity` positions.
struct V1SelfCache {
  std::vector<float> k, v;  // (len, num_kv_heads, head_dim)
  uint64_t capacity = 0, len = 0;
};

// One decoder block's cross-attention keys (key norm applied, no rotation) and
// values over the M encoder positions.
struct V1CrossCache {
  std::vector<float> k, v;  // (M, num_kv_heads, head_dim)
  uint64_t len = 0;         // M
};

// The decoder state of one generation call.
class V1Decoder {
 public:
  // Builds every block's cross cache from the encoder output (m_rows rows of
  // d_model) and empty self caches of `capacity` positions. The model must
  // outlive the decoder.
  V1Decoder(const V1Model& m, std::span<const float> encoder_out, uint64_t m_rows, uint64_t capacity);

  // Feeds token t at the next position and writes vocab_size logits. A block
  // whose cache is full writes "[vorpel-core] KV cache full at {p} steps —
  // output will degrade" to standard error, does not store the position and
  // attends over what it holds.
  void step(uint32_t t, std::span<float> logits);

  // Positions stored in the first block's cache (all blocks hold the same).
  uint64_t filled() const { return self_.empty() ? 0 : self_[0].len; }
  const std::vector<V1SelfCache>& self_caches() const { return self_; }
  const std::vector<V1CrossCache>& cross_caches() const { return cross_; }

 private:
  const V1Model& m_;
  std::vector<V1SelfCache> self_;
  std::vector<V1CrossCache> cross_;
  // Scratch of one step.
  std::vector<float> x_, u_, q_, k_, v_, att_, o_, a_, b_, scores_;
};

// The contrastive head on a pooled d_model vector: z = relu(pooled K + b) P,
// not normalised (C values).
std::vector<float> contrastive_project(const V1ContrastiveHead& head, std::span<const float> pooled);

// Mean of the rows of E (rows of width values); zeros for no rows.
std::vector<float> mean_rows(std::span<const float> e, uint64_t rows, uint64_t width);

}  // namespace vorpel::v1

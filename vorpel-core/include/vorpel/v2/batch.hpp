// Prompt pass of the second-generation model: positions in chunks of 128, every
// CQ matrix applied to a whole chunk with the batched product. Same function,
// position by position, as repeated single-token steps.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vorpel/v2/errors.hpp"
#include "vorpel/v2/model.hpp"
#include "vorpel/v2/state.hpp"

namespace vorpel::v2 {

inline constexpr uint64_t kPrefillChunk = 128;

// Buffers sized for one chunk of a model; a thread keeps its last set for the
// next prompt pass.
struct V2PrefillScratch {
  explicit V2PrefillScratch(const V2Model& m, uint64_t chunk = kPrefillChunk);

  // Every size the buffers derive from, but the chunk length.
  struct Shape {
    uint64_t d, lanes, sites, q_dim, kv_dim, hada_n, pad_in, pad_u, row_pad;
    bool operator==(const Shape&) const = default;
  };
  static Shape shape_of(const V2Model& m);
  // True when these buffers serve `m` in chunks of `chunk` positions.
  bool fits(const V2Model& m, uint64_t chunk) const;

  uint64_t chunk;
  Shape shape;
  std::vector<float> lanes;             // (chunk, L*d_model)
  std::vector<float> u;                 // (chunk, L*d_model): RMS-normalised lanes
  std::vector<float> u_rot;             // (chunk, padded L*d_model): rotated u for the phi products
  std::vector<float> in_rot;            // (chunk, padded): rotated inputs of the other products
  std::vector<float> z_pre, z_post, r;  // (chunk, L), (chunk, L), (chunk, L*L)
  std::vector<float> x_pre, x, h;       // (chunk, d_model): block input before/after injection, normed
  std::vector<float> q, gt, o;          // (chunk, q_dim)
  std::vector<float> k, v;              // (chunk, kv_dim)
  std::vector<float> a, h1, delta;      // (chunk, d_model)
  std::vector<float> hada;              // (chunk, hada_n)
  std::vector<float> fetch, eval;       // (chunk, d_model): engram fetch and value of one site
  std::vector<float> ekey, conv;        // (sites, chunk, d_model)
  std::vector<float> gates;             // (sites, chunk)
  std::vector<float> scores;            // (jobs, num_heads, widest attended span), sized per call
  std::vector<float> old_lane;          // (chunk, L*d_model): lanes before the mix
  std::vector<float> row_buf;           // (chunk, row_pad): work areas of decoded embedding/table rows
  uint64_t row_pad = 0;
};

// Checks, before any change: n = 0 does nothing; position + n > max_seq_len:
// "sequence exceeds max_seq_len"; any token >= vocab: "token id outside
// vocabulary"; logits given and not vocab long: "logits buffer is not vocab_size long".
// Only the last position's logits are computed, when wanted. `between_chunks`
// (may be empty) runs on the calling thread before every chunk after the first.
std::expected<void, StepError> prefill(const V2Model& m, V2State& s, std::span<const uint32_t> tokens,
                                         std::optional<std::span<float>> logits,
                                         const std::function<void()>& between_chunks = {});

}  // namespace vorpel::v2

// Forward pass of the third-generation model: a prompt pass over many
// positions (chunks of 128) and a single-token step, computing the same
// function position by position. Each block: mHC pre-mix, engram injections,
// attention with short q/k/v convolutions over the session cache (local
// blocks windowed), sigmoid output gate, gated residual, structured
// feed-forward, mHC update; then the read-out and the tied logits.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "vorpel/v3/model.hpp"
#include "vorpel/v3/session.hpp"

namespace vorpel::v3 {

inline constexpr uint64_t kPrefillChunk = 128;

// Receives, on the calling thread and in position order per cell, the hidden
// vector of every cell: cell 0 is the embedding, cell b + 1 the lane mean
// after executed block b (probe-head pooling).
struct CellObserver {
  virtual void observe(uint64_t cell, std::span<const float> hidden) = 0;
  virtual ~CellObserver() = default;
};

enum class LogitsFor : uint8_t { None, Last, Every };

// Runs tokens at the session's next positions. out holds logit_rows floats
// (Last) or tokens.size() * logit_rows (Every), or nothing (None). Token ids
// at or above vocab_size read the last embedding row. Preconditions (panics):
// the positions stay below max_seq_len and out has the right size.
// `between_chunks` (may be empty) runs on the calling thread before every
// chunk after the first.
void prefill(const V3Model& m, V3Session& s, std::span<const uint32_t> tokens, LogitsFor which, std::span<float> out,
             CellObserver* observer = nullptr, const std::function<void()>& between_chunks = {});

// One token at the next position; logits: logit_rows floats.
void step(const V3Model& m, V3Session& s, uint32_t token, std::span<float> logits, CellObserver* observer = nullptr);

// Pieces of the block, exposed for tests against plain loops.
namespace detail {
// Row index within table (o, j) of the engram hash at position t.
uint64_t engram_index(const V3Geometry& g, std::span<const uint32_t> tokens, uint64_t t, uint64_t o, uint64_t j);
// Y = A^T Z B for z viewed as P x Q (row-major), skipping exact-zero multipliers.
void kron_mix(const float* a, uint64_t P, const float* b, uint64_t Q, const float* z, float* y, float* work);
// The structured feed-forward of one block on one normed row u (d_model) into out (d_model).
void ffn_row(const V3Model& m, const V3Block& blk, const float* u, float* out, float* work);
// Floats of work ffn_row needs.
uint64_t ffn_work(const V3Geometry& g, uint64_t experts);
}  // namespace detail

}  // namespace vorpel::v3

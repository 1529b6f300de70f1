// Per-sequence decode state of the second-generation model: position, token
// history, residual lanes, key/value ring caches, engram rings, and all the
// scratch a single-token step needs (a step allocates nothing per token).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "vorpel/cq/rotated_input.hpp"
#include "vorpel/ops/attention.hpp"
#include "vorpel/v2/model.hpp"

namespace vorpel::v2 {

class V2State {
 public:
  // Everything zeroed. capacity = number of cache slots (position p uses slot
  // p mod capacity); window = attention window, 0 = unlimited.
  V2State(const V2Model& m, uint64_t capacity, uint64_t window);
  // capacity kv_window when 0 < kv_window <= max_seq_len, else max_seq_len; window kv_window.
  static V2State for_generation(const V2Model& m);

  // Caches, engram rings and token history zeroed, position 0.
  void reset();

  uint64_t position() const { return position_; }
  uint64_t capacity() const { return capacity_; }
  uint64_t window() const { return window_; }
  std::span<const uint32_t> tokens() const { return {history_.data(), position_}; }
  std::span<const float> lanes() const { return lanes_; }
  float engram_gate(size_t site) const { return gates_.at(site); }

  // Grows the token history and the caches to hold positions below `end`
  // (never past max_seq_len / capacity). Storage is added on demand so that a
  // model declaring a huge max_seq_len costs only what its sequences use.
  void ensure_positions(uint64_t end);

  // Stores position p's keys and values (kv_dim floats each, head after head)
  // in layer l's cache; the slot must be allocated (ensure_positions).
  void store_kv(uint64_t l, uint64_t p, const float* k, const float* v);
  // Layer l's cache as attention reads it.
  ops::KvView kv_view(uint64_t l) const;

  // ---- Data read and written by the forward pass (forward.cpp, batch.cpp). ----
  uint64_t position_ = 0, capacity_ = 0, window_ = 0;
  uint64_t slots_ = 0;             // cache slots allocated so far (<= capacity_)
  // Shape of the model the state was built for.
  uint64_t d_model_ = 0, lanes_n_ = 0, kv_dim_ = 0, num_layers_ = 0, num_heads_ = 0, max_seq_len_ = 0;
  uint64_t kv_heads_ = 0, head_dim_ = 0;
  uint64_t ring_len_ = 0, ring_slots_ = 0;  // engram ring length R and slots allocated so far
  std::vector<uint32_t> history_;  // (allocated positions)
  std::vector<float> lanes_;       // (mhc_lanes, d_model), lane-major
  // Per layer, head-major: a step reads each head's rows in order.
  std::vector<std::vector<float>> k_cache_, v_cache_;  // (num_layers)(kv_heads, slots, head_dim)
  std::vector<std::vector<float>> rings_;              // (sites)(ring slots, d_model)
  std::vector<std::vector<float>> keys_;               // (sites)(d_model)
  std::vector<std::vector<float>> convs_;              // (sites)(d_model)
  std::vector<float> gates_;                           // (sites)

  // Scratch of one step.
  std::vector<float> emb_, u_, x_pre_, x_, h_, q_, k_, v_, gt_, o_, a_, h1_, m_, hada_, delta_, old_lanes_;
  std::vector<float> z_pre_, z_post_, r_;  // (L), (L), (L*L)
  std::vector<float> scores_;              // (num_heads, score_span_)
  uint64_t score_span_ = 0;
  std::vector<float> fetch_;               // engram fetch (d_model)
  std::vector<float> row_buf_;             // work area of one decoded embedding or table row (padded_cols)
  std::vector<float> y_;                   // read-out (d_model)
  cq::RotatedInput rot_h_, rot_u_, rot_f_, rot_o_, rot_y_;
};

}  // namespace vorpel::v2

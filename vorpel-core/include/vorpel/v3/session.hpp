// One generation session of a third-generation model: per block the keys and
// values of the positions seen so far (f32, or int8 with one scale per stored
// head vector), the short-convolution histories of queries, keys and values,
// per engram site the history of projected values, and the token history.
// Sized to the session, not the context; storage grows on demand.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "vorpel/ops/attention.hpp"
#include "vorpel/v3/model.hpp"

namespace vorpel::v3 {

// x (w values) -> q (w bytes) and its scale: m = max |x_i| (NaN ignored),
// scale = m / 127 (1 when m is 0), q_i = x_i / scale rounded half away from
// zero and clamped to [-128, 127]; NaN stores 0.
void quantize_int8(const float* x, uint64_t w, int8_t* q, float* scale);

struct ForwardScratch;  // per-call buffers of the forward pass (forward.cpp)
struct ScratchDeleter {
  void operator()(ForwardScratch* s) const;
};

class V3Session {
 public:
  // requested 0 gives a one-position session; otherwise min(requested, max_seq_len).
  V3Session(const V3Model& m, uint64_t requested, bool kv_int8);

  struct LayerCache {
    bool global = false;
    uint64_t limit = 0;      // most positions this block ever holds
    uint64_t allocated = 0;  // slots allocated; a position p lives in slot p mod allocated
    std::vector<float> k, v;                // f32 mode: (kv_heads, allocated, head_dim / value_dim)
    std::vector<int8_t> k8, v8;             // int8 mode, same layout
    std::vector<float> k_scale, v_scale;    // int8 mode: (kv_heads, allocated)
    std::vector<float> q_hist, k_hist, v_hist;  // (qkv_conv_taps - 1, width): input of position t in row t mod (T-1)
  };

  uint64_t capacity() const { return capacity_; }
  bool kv_int8() const { return int8_; }
  uint64_t positions() const { return tokens_.size(); }
  const std::vector<uint32_t>& tokens() const { return tokens_; }

  // Makes room in every block for positions below `end` (growth by doubling, up to the block's limit).
  void reserve(uint64_t end);
  // Stores one position's keys (kv_heads*head_dim) and values (kv_heads*value_dim), quantised in int8 mode.
  void store(uint64_t block, uint64_t p, const float* k, const float* v);
  // First position the query at p may attend to in this block, and how many it sees.
  uint64_t visible_start(uint64_t block, uint64_t p) const;
  uint64_t visible_span(uint64_t block, uint64_t p) const { return p - visible_start(block, p) + 1; }
  size_t layer_count() const { return layers_.size(); }
  ops::KvView view(uint64_t block) const;
  const LayerCache& layer(uint64_t block) const { return layers_[block]; }
  LayerCache& layer(uint64_t block) { return layers_[block]; }

  // Engram value history of a site: the value of position t in slot t mod ring_len.
  float* engram_slot(uint64_t site, uint64_t t);
  uint64_t engram_ring_len() const { return ring_len_; }

  // ---- used by the forward pass ----
  void push_token(uint32_t t) { tokens_.push_back(t); }
  void reserve_engram(uint64_t end);
  // Buffers of a single-token step, kept so steps allocate nothing.
  std::unique_ptr<ForwardScratch, ScratchDeleter> step_scratch_;

 private:
  uint64_t capacity_ = 0;
  bool int8_ = false;
  uint64_t kv_heads_ = 0, head_dim_ = 0, value_dim_ = 0, window_ = 0, d_model_ = 0;
  std::vector<LayerCache> layers_;
  std::vector<std::vector<float>> rings_;  // (sites)(slots, d_model)
  uint64_t ring_len_ = 0, ring_slots_ = 0;
  std::vector<uint32_t> tokens_;
};

}  // namespace vorpel::v3

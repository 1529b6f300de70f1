// Decode state: creation, reset and on-demand growth of its position storage.
#include "vorpel/v2/state.hpp"

#include <algorithm>

#include "vorpel/core/panic.hpp"
#include "vorpel/cq/cq_kernels.hpp"

namespace vorpel::v2 {

namespace {
// Position storage starts this large and at least doubles when it grows, so a
// long decode reallocates only a handful of times.
constexpr uint64_t kInitialPositions = 256;

uint64_t grown(uint64_t have, uint64_t need, uint64_t limit) {
  if (need <= have) return have;
  return std::min(limit, std::max({need, 2 * have, kInitialPositions}));
}
}  // namespace

V2State::V2State(const V2Model& m, uint64_t capacity, uint64_t window) {
  const V2Geometry& g = m.geom;
  VORPEL_CHECK(capacity > 0, "decode state capacity must be non-zero");
  capacity_ = capacity;
  window_ = window;
  d_model_ = g.d_model;
  lanes_n_ = g.mhc_lanes;
  kv_dim_ = g.kv_dim();
  kv_heads_ = g.num_kv_heads;
  head_dim_ = g.head_dim;
  num_layers_ = g.num_layers;
  num_heads_ = g.num_heads;
  max_seq_len_ = g.max_seq_len;
  ring_len_ = g.ring_len();
  const uint64_t d = g.d_model, L = g.mhc_lanes, S = g.engram_sites.size();
  k_cache_.resize(g.num_layers);
  v_cache_.resize(g.num_layers);
  rings_.resize(S);
  keys_.assign(S, std::vector<float>(d, 0.0f));
  convs_.assign(S, std::vector<float>(d, 0.0f));
  gates_.assign(S, 0.0f);
  lanes_.assign(L * d, 0.0f);
  for (auto* v : {&emb_, &x_pre_, &x_, &h_, &a_, &h1_, &delta_, &fetch_, &y_}) v->assign(d, 0.0f);
  u_.assign(L * d, 0.0f);
  old_lanes_.assign(L * d, 0.0f);
  q_.assign(g.q_dim(), 0.0f);
  gt_.assign(g.q_dim(), 0.0f);
  o_.assign(g.q_dim(), 0.0f);
  k_.assign(g.kv_dim(), 0.0f);
  v_.assign(g.kv_dim(), 0.0f);
  hada_.assign(g.hada_n, 0.0f);
  z_pre_.assign(L, 0.0f);
  z_post_.assign(L, 0.0f);
  r_.assign(L * L, 0.0f);
  for (const V2Layer& ly : m.layers) {
    for (const auto* t : {&ly.q_proj, &ly.k_proj, &ly.v_proj, &ly.gate_proj}) rot_h_.reserve_for(*t);
    rot_o_.reserve_for(ly.out_proj);
  }
  for (const auto* t : {&m.mhc.phi_pre, &m.mhc.phi_post, &m.mhc.phi_res}) rot_u_.reserve_for(*t);
  for (const V2Engram& e : m.engrams) {
    rot_f_.reserve_for(e.key_proj);
    rot_f_.reserve_for(e.value_proj);
  }
  rot_y_.reserve_for(m.embedding);
  uint64_t row_pad = m.embedding.padded_cols();
  for (const V2Engram& e : m.engrams) row_pad = std::max(row_pad, e.tables.padded_cols());
  row_buf_.assign(row_pad, 0.0f);
  ensure_positions(1);
}

V2State V2State::for_generation(const V2Model& m) {
  const uint64_t w = m.geom.kv_window, n = m.geom.max_seq_len;
  const uint64_t capacity = (w != 0 && w <= n) ? w : n;
  return V2State(m, capacity, w);
}

void V2State::ensure_positions(uint64_t end) {
  const uint64_t hist = grown(history_.size(), std::min(end, max_seq_len_), max_seq_len_);
  if (hist > history_.size()) history_.resize(hist, 0);
  // Until a ring or cache has all its slots, positions map to slots 1:1, so
  // widening every head's rows keeps every stored value at its slot.
  const uint64_t slots = grown(slots_, std::min(end, capacity_), capacity_);
  if (slots > slots_) {
    for (auto& c : k_cache_) ops::grow_head_major(c, kv_heads_, slots_, slots, head_dim_, 0.0f);
    for (auto& c : v_cache_) ops::grow_head_major(c, kv_heads_, slots_, slots, head_dim_, 0.0f);
    slots_ = slots;
  }
  // Scores of every head over the widest window a position below `end` attends
  // (this can pass the slot count when the window is wider than the ring).
  const uint64_t widest = window_ != 0 ? std::min(window_, end) : end;
  const uint64_t span = grown(score_span_, widest, std::max(widest, max_seq_len_));
  if (span > score_span_) {
    scores_.resize(num_heads_ * span);
    score_span_ = span;
  }
  if (!rings_.empty()) {
    const uint64_t rs = grown(ring_slots_, std::min(end, ring_len_), ring_len_);
    if (rs > ring_slots_) {
      for (auto& r : rings_) r.resize(rs * d_model_, 0.0f);
      ring_slots_ = rs;
    }
  }
}

void V2State::store_kv(uint64_t l, uint64_t p, const float* k, const float* v) {
  const uint64_t slot = p % capacity_;
  VORPEL_CHECK(slot < slots_, "store_kv: slot not allocated");
  float* kc = k_cache_[l].data();
  float* vc = v_cache_[l].data();
  for (uint64_t h = 0; h < kv_heads_; ++h) {
    std::copy_n(k + h * head_dim_, head_dim_, kc + (h * slots_ + slot) * head_dim_);
    std::copy_n(v + h * head_dim_, head_dim_, vc + (h * slots_ + slot) * head_dim_);
  }
}

ops::KvView V2State::kv_view(uint64_t l) const {
  ops::KvView kv;
  kv.k = k_cache_[l].data();
  kv.v = v_cache_[l].data();
  kv.slots = capacity_;
  kv.kv_heads = kv_heads_;
  kv.k_width = kv.v_width = head_dim_;
  kv.head_rows = slots_;
  return kv;
}

void V2State::reset() {
  for (auto& c : k_cache_) std::fill(c.begin(), c.end(), 0.0f);
  for (auto& c : v_cache_) std::fill(c.begin(), c.end(), 0.0f);
  for (auto& r : rings_) std::fill(r.begin(), r.end(), 0.0f);
  std::fill(history_.begin(), history_.end(), 0u);
  position_ = 0;
}

}  // namespace vorpel::v2

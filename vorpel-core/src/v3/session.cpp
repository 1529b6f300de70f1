// Session caches: growth, ring slots, visibility and int8 storage.
#include "vorpel/v3/session.hpp"

#include <algorithm>
#include <cmath>

#include "vorpel/core/panic.hpp"

namespace vorpel::v3 {

namespace {
constexpr uint64_t kInitialPositions = 256;
}  // namespace

void quantize_int8(const float* x, uint64_t w, int8_t* q, float* scale) {
  float m = 0.0f;
  for (uint64_t i = 0; i < w; ++i) m = std::max(m, std::abs(x[i]));  // NaN compares false: ignored
  const float s = m > 0.0f ? m / 127.0f : 1.0f;
  for (uint64_t i = 0; i < w; ++i) {
    const float r = std::round(x[i] / s);  // halves away from zero
    q[i] = std::isnan(r) ? 0 : static_cast<int8_t>(std::clamp(r, -128.0f, 127.0f));
  }
  *scale = s;
}

V3Session::V3Session(const V3Model& m, uint64_t requested, bool kv_int8) : int8_(kv_int8) {
  const V3Geometry& g = m.geom;
  capacity_ = requested == 0 ? 1 : std::min(requested, g.max_seq_len);
  kv_heads_ = g.num_kv_heads;
  head_dim_ = g.head_dim;
  value_dim_ = g.value_dim;
  window_ = g.window();
  d_model_ = g.d_model;
  layers_.resize(m.blocks.size());
  for (size_t b = 0; b < layers_.size(); ++b) {
    LayerCache& c = layers_[b];
    c.global = m.blocks[b].global;
    c.limit = (c.global || window_ == 0) ? g.max_seq_len : window_;
    const uint64_t T = g.qkv_conv_taps;
    if (T > 1) {
      c.q_hist.assign((T - 1) * g.q_dim(), 0.0f);
      c.k_hist.assign((T - 1) * g.k_dim(), 0.0f);
      c.v_hist.assign((T - 1) * g.v_dim(), 0.0f);
    }
  }
  // Storage for the first positions only; stores grow it by doubling up to
  // each block's limit, which sees the same slots as allocating it all now
  // (a position p < allocated always lives in slot p), but a session sized
  // to a huge budget costs only the positions it really holds.
  reserve(std::min<uint64_t>(capacity_, kInitialPositions));
  // The farthest tap reads (conv_taps - 1) * tap_stride positions back (both
  // are 32-bit header words, so the product fits), and never further back
  // than the context reaches.
  if (!m.engrams.empty()) {
    const uint64_t reach = g.conv_taps == 0 ? 0 : (g.conv_taps - 1) * g.tap_stride;
    ring_len_ = std::min(reach, g.max_seq_len) + 1;
    rings_.resize(m.engrams.size());
  }
  tokens_.reserve(std::min<uint64_t>(capacity_, kInitialPositions));
}

void V3Session::reserve(uint64_t end) {
  for (LayerCache& c : layers_) {
    if (end <= c.allocated || c.allocated >= c.limit) continue;
    const uint64_t want = c.allocated == 0 ? std::min(c.limit, std::max<uint64_t>(end, 1))
                                           : std::min(c.limit, std::max(2 * c.allocated, end));
    // Every head's rows widen in place: a position below `allocated` keeps its slot.
    const uint64_t H = kv_heads_, was = c.allocated;
    if (int8_) {
      ops::grow_head_major<int8_t>(c.k8, H, was, want, head_dim_, 0);
      ops::grow_head_major<int8_t>(c.v8, H, was, want, value_dim_, 0);
      ops::grow_head_major(c.k_scale, H, was, want, 1, 1.0f);
      ops::grow_head_major(c.v_scale, H, was, want, 1, 1.0f);
    } else {
      ops::grow_head_major(c.k, H, was, want, head_dim_, 0.0f);
      ops::grow_head_major(c.v, H, was, want, value_dim_, 0.0f);
    }
    c.allocated = want;
  }
}

void V3Session::store(uint64_t block, uint64_t p, const float* k, const float* v) {
  LayerCache& c = layers_[block];
  if (p >= c.allocated) reserve(p + 1);
  const uint64_t slot = p < c.allocated ? p : p % c.allocated;
  for (uint64_t h = 0; h < kv_heads_; ++h) {
    const uint64_t at = h * c.allocated + slot;
    if (!int8_) {
      std::copy_n(k + h * head_dim_, head_dim_, c.k.data() + at * head_dim_);
      std::copy_n(v + h * value_dim_, value_dim_, c.v.data() + at * value_dim_);
      continue;
    }
    quantize_int8(k + h * head_dim_, head_dim_, c.k8.data() + at * head_dim_, &c.k_scale[at]);
    quantize_int8(v + h * value_dim_, value_dim_, c.v8.data() + at * value_dim_, &c.v_scale[at]);
  }
}

uint64_t V3Session::visible_start(uint64_t block, uint64_t p) const {
  const LayerCache& c = layers_[block];
  uint64_t start = p + 1 > c.allocated ? p + 1 - c.allocated : 0;
  if (!c.global && window_ != 0 && p + 1 > window_) start = std::max(start, p + 1 - window_);
  return start;
}

ops::KvView V3Session::view(uint64_t block) const {
  const LayerCache& c = layers_[block];
  ops::KvView kv;
  if (int8_) {
    kv.k8 = c.k8.data();
    kv.v8 = c.v8.data();
    kv.k_scale = c.k_scale.data();
    kv.v_scale = c.v_scale.data();
  } else {
    kv.k = c.k.data();
    kv.v = c.v.data();
  }
  kv.slots = c.allocated;
  kv.kv_heads = kv_heads_;
  kv.k_width = head_dim_;
  kv.v_width = value_dim_;
  kv.head_rows = c.allocated;
  return kv;
}

void V3Session::reserve_engram(uint64_t end) {
  if (rings_.empty()) return;
  // Until a ring has all its slots, positions map to slots 1:1, so adding
  // slots at the end keeps every stored value where it is.
  const uint64_t need = std::min(end, ring_len_);
  if (need <= ring_slots_) return;
  const uint64_t slots = std::min(ring_len_, std::max({need, 2 * ring_slots_, uint64_t{64}}));
  for (auto& r : rings_) r.resize(slots * d_model_, 0.0f);
  ring_slots_ = slots;
}

float* V3Session::engram_slot(uint64_t site, uint64_t t) {
  const uint64_t slot = t % ring_len_;
  VORPEL_CHECK(slot < ring_slots_, "engram history: position beyond the reserved slots");
  return rings_[site].data() + slot * d_model_;
}

}  // namespace vorpel::v3

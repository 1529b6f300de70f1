// Single-token step: embedding, engram preparation, the blocks (mHC pre-mix,
// engram injection, gated attention, Hadamard MLP, post/residual mix), read-out.
#include "vorpel/v2/forward.hpp"

#include <chrono>
#include <cmath>
#include <cstring>

#include "parts.hpp"
#include "vorpel/core/panic.hpp"
#include "vorpel/cq/cq_kernels.hpp"
#include "vorpel/cq/product_group.hpp"
#include "vorpel/pool/worker_pool.hpp"
#include "vorpel/ops/vector_ops.hpp"

namespace vorpel::v2 {

using namespace vorpel::ops;

namespace {

StepProfile* g_profile = nullptr;

// Adds the time of one component to the profile sink, when one is installed.
class Section {
 public:
  explicit Section(StepProfile::Part part) : sink_(g_profile), part_(part) {
    if (sink_) t0_ = std::chrono::steady_clock::now();
  }
  ~Section() {
    if (sink_)
      sink_->ns[part_] += static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0_).count());
  }
  Section(const Section&) = delete;
  Section& operator=(const Section&) = delete;

 private:
  StepProfile* sink_;
  StepProfile::Part part_;
  std::chrono::steady_clock::time_point t0_{};
};

// Attention work (score + sum multiply-adds) above which heads go to the pool.
constexpr uint64_t kParallelAttention = 1u << 15;

void check_state(const V2Model& m, const V2State& s) {
  const V2Geometry& g = m.geom;
  VORPEL_CHECK(s.d_model_ == g.d_model && s.lanes_n_ == g.mhc_lanes && s.kv_dim_ == g.kv_dim() &&
                   s.num_layers_ == g.num_layers && s.rings_.size() == g.engram_sites.size() &&
                   s.max_seq_len_ == g.max_seq_len && s.num_heads_ == g.num_heads,
               "decode state was created for a different model");
}

std::expected<void, StepError> preconditions(const V2Model& m, const V2State& s, uint32_t token) {
  if (s.position_ >= m.geom.max_seq_len) return std::unexpected(StepError::SequenceTooLong);
  if (token >= m.geom.vocab) return std::unexpected(StepError::TokenOutsideVocab);
  return {};
}

void engram_prepare(const V2Model& m, V2State& s, uint64_t p) {
  const uint64_t d = m.geom.d_model, R = m.geom.ring_len();
  for (size_t si = 0; si < m.engrams.size(); ++si) {
    const V2Engram& e = m.engrams[si];
    parts::engram_fetch(m, e, s.history_.data(), p, s.fetch_.data(), s.row_buf_.data());
    s.rot_f_.invalidate();
    float* slot = s.rings_[si].data() + (p % R) * d;
    cq::matvec_rotated(e.value_proj, s.rot_f_.get(e.value_proj, s.fetch_), 0, {slot, d});
    cq::matvec_rotated(e.key_proj, s.rot_f_.get(e.key_proj, s.fetch_), 0, s.keys_[si]);
    parts::engram_conv(m, e, s.rings_[si].data(), p, s.convs_[si].data());
  }
}

void layer_step(const V2Model& m, V2State& s, uint64_t l, uint64_t p) {
  const V2Geometry& g = m.geom;
  const V2Layer& ly = m.layers[l];
  const uint64_t d = g.d_model, L = g.mhc_lanes;
  {
    Section sec(StepProfile::Mhc);
    rms_normalize(s.lanes_, s.u_);
    s.rot_u_.invalidate();
    cq::matvec_rotated(m.mhc.phi_pre, s.rot_u_.get(m.mhc.phi_pre, s.u_), l * L, s.z_pre_);
    cq::matvec_rotated(m.mhc.phi_post, s.rot_u_.get(m.mhc.phi_post, s.u_), l * L, s.z_post_);
    cq::matvec_rotated(m.mhc.phi_res, s.rot_u_.get(m.mhc.phi_res, s.u_), l * L * L, s.r_);
    parts::pre_mix(m, l, s.lanes_.data(), s.z_pre_.data(), s.x_pre_.data());
  }
  const int32_t site = m.site_of_layer[l];
  if (site >= 0) {
    Section sec(StepProfile::Engram);
    const float gate = parts::engram_gate(m, s.x_pre_.data(), s.keys_[site].data());
    s.gates_[site] = gate;
    const float* conv = s.convs_[site].data();
    for (uint64_t i = 0; i < d; ++i) s.x_[i] = s.x_pre_[i] + gate * conv[i];
  } else {
    std::memcpy(s.x_.data(), s.x_pre_.data(), d * sizeof(float));
  }
  {
    Section sec(StepProfile::Projections);
    rms_norm(s.x_, ly.norm_in, s.h_);
    s.rot_h_.invalidate();
    // The four projections of h together: one parallel region gives every worker a share.
    const cq::Product group[] = {{&ly.q_proj, s.rot_h_.get(ly.q_proj, s.h_), 0, s.q_},
                                 {&ly.k_proj, s.rot_h_.get(ly.k_proj, s.h_), 0, s.k_},
                                 {&ly.v_proj, s.rot_h_.get(ly.v_proj, s.h_), 0, s.v_},
                                 {&ly.gate_proj, s.rot_h_.get(ly.gate_proj, s.h_), 0, s.gt_}};
    cq::matvec_group(group);
  }
  {
    Section sec(StepProfile::Attention);
    parts::qk_norm_rope(m, l, p, s.q_.data(), s.k_.data());
    s.store_kv(l, p, s.k_.data(), s.v_.data());
    const ops::KvView kv = s.kv_view(l);
    const uint64_t n = parts::attended(s.window_, p);
    const uint64_t H = g.num_heads;
    const size_t T = pool::thread_count();
    if (T > 1 && H > 1 && n * H * g.head_dim * 2 >= kParallelAttention) {
      const uint64_t chunks = std::min<uint64_t>(H, T);
      const uint64_t per = (H + chunks - 1) / chunks;
      pool::parallel_for(chunks, [&](size_t c) {
        const uint64_t h0 = c * per, h1 = std::min(H, h0 + per);
        if (h0 < h1)
          parts::attend(m, kv, s.window_, p, s.q_.data(), s.o_.data(), h0, h1, s.scores_.data() + h0 * s.score_span_);
      });
    } else {
      parts::attend(m, kv, s.window_, p, s.q_.data(), s.o_.data(), 0, H, s.scores_.data());
    }
    mul_sigmoid(s.o_.data(), s.gt_.data(), g.q_dim());
  }
  {
    Section sec(StepProfile::Projections);
    s.rot_o_.invalidate();
    const cq::Product out[] = {{&ly.out_proj, s.rot_o_.get(ly.out_proj, s.o_), 0, s.a_}};
    cq::matvec_group(out);
  }
  {
    Section sec(StepProfile::HadamardMlp);
    parts::finish_block(m, l, s.x_.data(), s.x_pre_.data(), s.a_.data(), s.hada_.data(), s.h1_.data(),
                        s.delta_.data(), s.z_post_.data(), s.r_.data(), s.lanes_.data(), s.old_lanes_.data());
  }
}

void run_token(const V2Model& m, V2State& s, uint32_t token, HiddenObserver* obs) {
  check_state(m, s);
  const uint64_t p = s.position_, d = m.geom.d_model;
  s.ensure_positions(p + 1);
  s.history_[p] = token;
  {
    Section sec(StepProfile::Embedding);
    cq::decode_row(m.embedding, token, s.emb_.data(), s.row_buf_.data());
    for (float& v : s.emb_) v *= m.embed_scale;
    if (obs) obs->observe(s.emb_);
    for (uint64_t i = 0; i < m.geom.mhc_lanes; ++i)
      std::memcpy(s.lanes_.data() + i * d, s.emb_.data(), d * sizeof(float));
  }
  {
    Section sec(StepProfile::Engram);
    engram_prepare(m, s, p);
  }
  for (uint64_t l = 0; l < m.geom.num_layers; ++l) {
    layer_step(m, s, l, p);
    if (obs) {
      parts::lane_mean(m, s.lanes_.data(), s.y_.data());
      obs->observe(s.y_);
    }
  }
}

}  // namespace

void set_step_profile(StepProfile* sink) { g_profile = sink; }

std::expected<void, StepError> step(const V2Model& m, V2State& s, uint32_t token, std::span<float> logits) {
  if (auto ok = preconditions(m, s, token); !ok) return ok;
  if (logits.size() != m.geom.vocab) return std::unexpected(StepError::LogitsLength);
  run_token(m, s, token, nullptr);
  {
    Section sec(StepProfile::Logits);
    parts::lane_mean(m, s.lanes_.data(), s.y_.data());
    rms_norm(s.y_, m.final_norm, s.y_);
    s.rot_y_.invalidate();
    cq::matvec_rotated(m.embedding, s.rot_y_.get(m.embedding, s.y_), 0, logits);
  }
  ++s.position_;
  if (g_profile) ++g_profile->steps;
  return {};
}

std::expected<void, StepError> step_observed(const V2Model& m, V2State& s, uint32_t token, HiddenObserver& obs) {
  if (auto ok = preconditions(m, s, token); !ok) return ok;
  run_token(m, s, token, &obs);
  ++s.position_;
  return {};
}

}  // namespace vorpel::v2

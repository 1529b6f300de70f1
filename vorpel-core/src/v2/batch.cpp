// Prompt pass: chunks of up to 128 positions; every CQ product runs once per
// chunk (batched), per-position work is spread over the pool, and cache writes
// and attention follow position order wherever a later write could reach a
// slot an earlier position still reads.
#include "vorpel/v2/batch.hpp"

#include <algorithm>
#include <cstring>

#include "parts.hpp"
#include "vorpel/core/panic.hpp"
#include "vorpel/core/thread_scratch.hpp"
#include "vorpel/cq/cq_kernels.hpp"
#include "vorpel/cq/product_group.hpp"
#include "vorpel/cq/rotated_input.hpp"
#include "vorpel/pool/worker_pool.hpp"
#include "vorpel/ops/vector_ops.hpp"

namespace vorpel::v2 {

using namespace vorpel::ops;

namespace {

uint64_t max_padded(std::initializer_list<const cq::CqTensor*> ts) {
  uint64_t p = 0;
  for (const auto* t : ts) p = std::max(p, t->padded_cols());
  return p;
}

using pool::for_each_index;
using BatchRotation = cq::RotatedBatch;

void batch(const cq::CqTensor& t, BatchRotation& rot, const float* x, uint64_t n, uint64_t stride,
           uint64_t first_row, uint64_t count, float* out) {
  cq::matmul_batch(t, rot.get(t, x, n, stride), n, first_row, count, {out, n * count});
}

}  // namespace

V2PrefillScratch::Shape V2PrefillScratch::shape_of(const V2Model& m) {
  const V2Geometry& g = m.geom;
  uint64_t pad_in = 0;
  for (const V2Layer& ly : m.layers)
    pad_in = std::max(pad_in, max_padded({&ly.q_proj, &ly.k_proj, &ly.v_proj, &ly.gate_proj, &ly.out_proj}));
  for (const V2Engram& e : m.engrams) pad_in = std::max(pad_in, max_padded({&e.key_proj, &e.value_proj}));
  const uint64_t pad_u = max_padded({&m.mhc.phi_pre, &m.mhc.phi_post, &m.mhc.phi_res});
  uint64_t row_pad = m.embedding.padded_cols();
  for (const V2Engram& e : m.engrams) row_pad = std::max(row_pad, e.tables.padded_cols());
  return {g.d_model, g.mhc_lanes, g.engram_sites.size(), g.q_dim(), g.kv_dim(), g.hada_n, pad_in, pad_u, row_pad};
}

bool V2PrefillScratch::fits(const V2Model& m, uint64_t chunk_len) const {
  return chunk_len <= chunk && shape == shape_of(m);  // a longer chunk than needed serves as well
}

V2PrefillScratch::V2PrefillScratch(const V2Model& m, uint64_t chunk_len)
    : chunk(chunk_len), shape(shape_of(m)) {
  VORPEL_CHECK(chunk > 0, "chunk_size must not be zero");
  const V2Geometry& g = m.geom;
  const uint64_t d = g.d_model, L = g.mhc_lanes, S = g.engram_sites.size();
  const uint64_t pad_in = shape.pad_in, pad_u = shape.pad_u;
  lanes.assign(chunk * L * d, 0.0f);
  u.assign(chunk * L * d, 0.0f);
  u_rot.assign(chunk * pad_u, 0.0f);
  in_rot.assign(chunk * pad_in, 0.0f);
  z_pre.assign(chunk * L, 0.0f);
  z_post.assign(chunk * L, 0.0f);
  r.assign(chunk * L * L, 0.0f);
  for (auto* v : {&x_pre, &x, &h, &a, &h1, &delta, &fetch, &eval}) v->assign(chunk * d, 0.0f);
  ekey.assign(S * chunk * d, 0.0f);
  conv.assign(S * chunk * d, 0.0f);
  gates.assign(S * chunk, 0.0f);
  q.assign(chunk * g.q_dim(), 0.0f);
  gt.assign(chunk * g.q_dim(), 0.0f);
  o.assign(chunk * g.q_dim(), 0.0f);
  k.assign(chunk * g.kv_dim(), 0.0f);
  v.assign(chunk * g.kv_dim(), 0.0f);
  hada.assign(chunk * g.hada_n, 0.0f);
  old_lane.assign(chunk * L * d, 0.0f);
  row_pad = shape.row_pad;
  row_buf.assign(chunk * row_pad, 0.0f);
}

std::expected<void, StepError> prefill(const V2Model& m, V2State& s, std::span<const uint32_t> tokens,
                                         std::optional<std::span<float>> logits,
                                         const std::function<void()>& between_chunks) {
  const V2Geometry& g = m.geom;
  const uint64_t n = tokens.size();
  if (n == 0) return {};
  if (s.position_ > g.max_seq_len || n > g.max_seq_len - s.position_)
    return std::unexpected(StepError::SequenceTooLong);
  for (uint32_t t : tokens)
    if (t >= g.vocab) return std::unexpected(StepError::TokenOutsideVocab);
  if (logits && logits->size() != g.vocab) return std::unexpected(StepError::LogitsLength);
  VORPEL_CHECK(s.d_model_ == g.d_model && s.lanes_n_ == g.mhc_lanes && s.kv_dim_ == g.kv_dim() &&
                   s.num_layers_ == g.num_layers && s.rings_.size() == g.engram_sites.size() &&
                   s.max_seq_len_ == g.max_seq_len && s.num_heads_ == g.num_heads,
               "decode state was created for a different model");

  const uint64_t start = s.position_;
  s.ensure_positions(start + n);
  // Chunk buffers for at most 128 positions, and no more than the prompt needs.
  // Kept by the thread for its next prompt pass.
  core::ScratchLease<V2PrefillScratch> lease(m, std::min<uint64_t>(kPrefillChunk, n));
  V2PrefillScratch& sc = lease.get();
  const uint64_t d = g.d_model, L = g.mhc_lanes, LD = L * d, S = g.engram_sites.size(), R = g.ring_len();
  const uint64_t qd = g.q_dim(), kvd = g.kv_dim(), H = g.num_heads, hn = g.hada_n;
  const uint64_t T = pool::thread_count();
  // Attention scratch: every head's scores for each concurrent job, over the widest window of the pass.
  const uint64_t span = parts::attended(s.window_, start + n - 1);
  sc.scores.assign(4 * T * H * span, 0.0f);
  BatchRotation rot_in(&sc.in_rot), rot_u(&sc.u_rot);

  for (uint64_t c0 = 0; c0 < n; c0 += sc.chunk) {
    if (c0 > 0 && between_chunks) between_chunks();
    const uint64_t cn = std::min(sc.chunk, n - c0), p0 = start + c0;

    // Tokens and embeddings.
    for (uint64_t j = 0; j < cn; ++j) s.history_[p0 + j] = tokens[c0 + j];
    for_each_index(cn, [&](uint64_t j) {
      float* lane0 = sc.lanes.data() + j * LD;
      cq::decode_row(m.embedding, tokens[c0 + j], lane0, sc.row_buf.data() + j * sc.row_pad);
      for (uint64_t i = 0; i < d; ++i) lane0[i] *= m.embed_scale;
      for (uint64_t k = 1; k < L; ++k) std::memcpy(lane0 + k * d, lane0, d * sizeof(float));
    });

    // Engram preparation for every site.
    for (uint64_t si = 0; si < S; ++si) {
      const V2Engram& e = m.engrams[si];
      for_each_index(cn, [&](uint64_t j) {
        parts::engram_fetch(m, e, s.history_.data(), p0 + j, sc.fetch.data() + j * d,
                            sc.row_buf.data() + j * sc.row_pad);
      });
      rot_in.invalidate();
      batch(e.value_proj, rot_in, sc.fetch.data(), cn, d, 0, d, sc.eval.data());
      float* keys = sc.ekey.data() + si * sc.chunk * d;
      float* convs = sc.conv.data() + si * sc.chunk * d;
      batch(e.key_proj, rot_in, sc.fetch.data(), cn, d, 0, d, keys);
      // In order: a later write can land on a slot an earlier tap still reads.
      float* ring = s.rings_[si].data();
      for (uint64_t j = 0; j < cn; ++j) {
        const uint64_t p = p0 + j;
        std::memcpy(ring + (p % R) * d, sc.eval.data() + j * d, d * sizeof(float));
        parts::engram_conv(m, e, ring, p, convs + j * d);
      }
    }

    // The lanes' normalisation and its rotation for the mHC products: here for
    // the first layer, at the end of the previous layer's block for the others.
    const cq::CqTensor& phi = m.mhc.phi_pre;
    auto normalize_lanes = [&](uint64_t j) {
      float* u = sc.u.data() + j * LD;
      rms_normalize({sc.lanes.data() + j * LD, LD}, {u, LD});
      rot_u.rotate_row(phi, u, j);
    };
    for_each_index(cn, normalize_lanes);

    for (uint64_t l = 0; l < g.num_layers; ++l) {
      const V2Layer& ly = m.layers[l];
      // mHC pre-mix weights and the raw post/residual products, from one normalisation of the lanes.
      rot_u.mark_rotated(phi);
      const cq::BatchProduct mix[] = {{&m.mhc.phi_pre, l * L, L, {sc.z_pre.data(), cn * L}},
                                      {&m.mhc.phi_post, l * L, L, {sc.z_post.data(), cn * L}},
                                      {&m.mhc.phi_res, l * L * L, L * L, {sc.r.data(), cn * L * L}}};
      cq::batch_products(mix, rot_u, sc.u.data(), cn, LD);

      const int32_t site = m.site_of_layer[l];
      rot_in.invalidate();
      for_each_index(cn, [&](uint64_t j) {
        float* x_pre = sc.x_pre.data() + j * d;
        float* x = sc.x.data() + j * d;
        parts::pre_mix(m, l, sc.lanes.data() + j * LD, sc.z_pre.data() + j * L, x_pre);
        if (site >= 0) {
          const float* key = sc.ekey.data() + (site * sc.chunk + j) * d;
          const float* conv = sc.conv.data() + (site * sc.chunk + j) * d;
          const float gate = parts::engram_gate(m, x_pre, key);
          sc.gates[site * sc.chunk + j] = gate;
          for (uint64_t i = 0; i < d; ++i) x[i] = x_pre[i] + gate * conv[i];
        } else {
          std::memcpy(x, x_pre, d * sizeof(float));
        }
        float* h = sc.h.data() + j * d;
        rms_norm({x, d}, ly.norm_in, {h, d});
        rot_in.rotate_row(ly.q_proj, h, j);
        // The block's mixing coefficients, two positions at a time (the even one
        // takes its neighbour); their inputs are final once the products ran.
        if (j % 2 == 0) {
          const bool pair = j + 1 < cn;
          parts::mix_coefficients_pair(m, l, sc.z_post.data() + j * L, sc.r.data() + j * L * L,
                                       pair ? sc.z_post.data() + (j + 1) * L : nullptr,
                                       pair ? sc.r.data() + (j + 1) * L * L : nullptr);
        }
      });
      rot_in.mark_rotated(ly.q_proj);

      const cq::BatchProduct qkvg[] = {{&ly.q_proj, 0, qd, {sc.q.data(), cn * qd}},
                                       {&ly.k_proj, 0, kvd, {sc.k.data(), cn * kvd}},
                                       {&ly.v_proj, 0, kvd, {sc.v.data(), cn * kvd}},
                                       {&ly.gate_proj, 0, qd, {sc.gt.data(), cn * qd}}};
      cq::batch_products(qkvg, rot_in, sc.h.data(), cn, d);

      // Attention. When every slot the chunk writes lies outside every window
      // it reads (the usual case), all writes go first and the (position, head)
      // pairs run in parallel; otherwise position by position.
      const ops::KvView kv = s.kv_view(l);
      const uint64_t cap = s.capacity_, win = s.window_, last = p0 + cn - 1;
      const uint64_t first0 = p0 + 1 - parts::attended(win, p0);
      auto write_kv = [&](uint64_t j) { s.store_kv(l, p0 + j, sc.k.data() + j * kvd, sc.v.data() + j * kvd); };
      if (last - first0 + 1 <= cap) {
        // The chunk's slots are distinct, so the writes can go in parallel.
        for_each_index(cn, [&](uint64_t j) {
          parts::qk_norm_rope(m, l, p0 + j, sc.q.data() + j * qd, sc.k.data() + j * kvd);
          write_kv(j);
        });
        // Job c takes positions c, c + nj, c + 2 nj, ... with all their heads:
        // later positions attend more rows, so striding evens the jobs out.
        const uint64_t nj = std::min(cn, 4 * T);
        auto job = [&](size_t c) {
          float* scores = sc.scores.data() + c * H * span;
          for (uint64_t j = c; j < cn; j += nj)
            parts::attend(m, kv, win, p0 + j, sc.q.data() + j * qd, sc.o.data() + j * qd, 0, H, scores);
        };
        if (T <= 1)
          for (uint64_t c = 0; c < nj; ++c) job(c);
        else
          pool::parallel_for(nj, job);
      } else {
        for_each_index(cn, [&](uint64_t j) {
          parts::qk_norm_rope(m, l, p0 + j, sc.q.data() + j * qd, sc.k.data() + j * kvd);
        });
        for (uint64_t j = 0; j < cn; ++j) {
          write_kv(j);
          const uint64_t p = p0 + j;
          const uint64_t group = H / g.num_kv_heads;
          auto kv_head = [&](size_t kvh) {
            parts::attend(m, kv, win, p, sc.q.data() + j * qd, sc.o.data() + j * qd, kvh * group, (kvh + 1) * group,
                          sc.scores.data() + kvh * group * span);
          };
          if (T <= 1 || g.num_kv_heads == 1)
            for (uint64_t kvh = 0; kvh < g.num_kv_heads; ++kvh) kv_head(kvh);
          else
            pool::parallel_for(g.num_kv_heads, kv_head);
        }
      }
      rot_in.invalidate();
      for_each_index(cn, [&](uint64_t j) {
        float* o = sc.o.data() + j * qd;
        mul_sigmoid(o, sc.gt.data() + j * qd, qd);
        rot_in.rotate_row(ly.out_proj, o, j);
      });
      rot_in.mark_rotated(ly.out_proj);
      batch(ly.out_proj, rot_in, sc.o.data(), cn, qd, 0, d, sc.a.data());

      const bool more = l + 1 < g.num_layers;
      for_each_index(cn, [&](uint64_t j) {
        parts::finish_block(m, l, sc.x.data() + j * d, sc.x_pre.data() + j * d, sc.a.data() + j * d,
                            sc.hada.data() + j * hn, sc.h1.data() + j * d, sc.delta.data() + j * d,
                            sc.z_post.data() + j * L, sc.r.data() + j * L * L, sc.lanes.data() + j * LD,
                            sc.old_lane.data() + j * LD, /*mixed=*/true);
        if (more) normalize_lanes(j);
      });
    }
    s.position_ += cn;

    if (c0 + cn == n) {
      // The state ends as the steps would leave it: last position's lanes and engram values.
      const uint64_t j = cn - 1;
      std::memcpy(s.lanes_.data(), sc.lanes.data() + j * LD, LD * sizeof(float));
      for (uint64_t si = 0; si < S; ++si) {
        std::memcpy(s.keys_[si].data(), sc.ekey.data() + (si * sc.chunk + j) * d, d * sizeof(float));
        std::memcpy(s.convs_[si].data(), sc.conv.data() + (si * sc.chunk + j) * d, d * sizeof(float));
        s.gates_[si] = sc.gates[si * sc.chunk + j];
      }
    }
  }

  if (logits) {
    parts::lane_mean(m, s.lanes_.data(), s.y_.data());
    rms_norm(s.y_, m.final_norm, s.y_);
    s.rot_y_.invalidate();
    cq::matvec_rotated(m.embedding, s.rot_y_.get(m.embedding, s.y_), 0, *logits);
  }
  return {};
}

}  // namespace vorpel::v2

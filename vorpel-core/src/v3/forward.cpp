// Third-generation forward pass. Positions go through in chunks; every CQ
// product runs once per chunk (a batched product, or a matrix-vector product
// for a single position), per-position work is spread over the worker pool,
// and whatever depends on earlier positions (convolution histories, cache
// writes that a later row could overwrite) follows position order.
#include "vorpel/v3/forward.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "vorpel/core/panic.hpp"
#include "vorpel/core/thread_scratch.hpp"
#include "vorpel/cq/cq_kernels.hpp"
#include "vorpel/cq/product_group.hpp"
#include "vorpel/cq/rotated_input.hpp"
#include "vorpel/ops/attention.hpp"
#include "vorpel/ops/mhc.hpp"
#include "vorpel/ops/vector_ops.hpp"
#include "vorpel/pool/worker_pool.hpp"

namespace vorpel::v3 {

using pool::for_each_index;

namespace detail {

uint64_t engram_index(const V3Geometry& g, std::span<const uint32_t> tokens, uint64_t t, uint64_t o, uint64_t j) {
  const uint64_t stride = g.engram_seed_stride != 0 ? g.engram_seed_stride : g.tables_per_order;
  const uint32_t seed = 0x9E3779B9u * static_cast<uint32_t>(o * stride + j + 1);
  const uint64_t n = g.orders[o];
  uint32_t h = seed;
  // Callers ask only once n tokens have been seen, so the loop is bounded by the position.
  for (uint64_t k = 0; k < n; ++k) {
    if (t >= k) h ^= tokens[t - k];
    h *= 16777619u;
  }
  const uint32_t mixed = h ^ (h >> 15);
  return mixed % g.table_rows;
}

void kron_mix(const float* a, uint64_t P, const float* b, uint64_t Q, const float* z, float* y, float* work) {
  // T = A^T Z: row h of T gathers the rows of Z weighted by column h of A.
  // An exact zero weight contributes nothing, even against inf or NaN.
  float* t = work;
  std::memset(t, 0, P * Q * sizeof(float));
  ops::add_weighted_rows(t, P, a, 1, P, z, P, Q, true);
  // Y = T B: row h of Y gathers the rows of B weighted by row h of T.
  std::memset(y, 0, P * Q * sizeof(float));
  ops::add_weighted_rows(y, P, t, Q, 1, b, Q, Q, true);
}

uint64_t ffn_work(const V3Geometry& g, uint64_t experts) { return 4 * g.hada_n + experts; }

namespace {

// z'[i] = z[perm[i]] for i < len(perm); the other entries keep their value.
void permute(const std::vector<uint32_t>& perm, float* z, float* tmp, uint64_t H) {
  std::memcpy(tmp, z, H * sizeof(float));
  for (size_t i = 0; i < perm.size(); ++i) z[i] = tmp[perm[i]];
}

}  // namespace

void ffn_row(const V3Model& m, const V3Block& blk, const float* u, float* out, float* work) {
  const V3Geometry& g = m.geom;
  const V3Ffn& f = blk.ffn;
  const uint64_t H = g.hada_n, D = g.d_model, P = g.kron_p(), Q = g.kron_q(), E = f.experts;
  float* z = work;             // (H)
  float* y = work + H;         // (H)
  float* scale = work + 2 * H; // (H): 1 + sum_e r_e R_e
  float* tmp = work + 3 * H;   // (H): Kronecker and permutation work
  float* r = work + 4 * H;     // (E)

  // Router mixture of the component table.
  for (uint64_t i = 0; i < H; ++i) scale[i] = 1.0f;
  if (E > 0) {
    for (uint64_t e = 0; e < E; ++e) r[e] = 0.0f;
    ops::add_weighted_rows(r, 1, u, 0, 1, f.router.data(), D, E, false);
    ops::softmax_uniform_fallback({r, E});
    ops::add_weighted_rows(scale, 1, r, 0, 1, f.components.data(), E, H, true);
  }

  for (uint64_t i = 0; i < D; ++i) z[i] = u[i] * f.d1[i];
  for (uint64_t i = D; i < H; ++i) z[i] = 0.0f * f.d1[i];
  kron_mix(f.k1a.data(), P, f.k1b.data(), Q, z, y, tmp);
  permute(m.perm1, y, tmp, H);
  for (uint64_t i = 0; i < H; ++i) y[i] = f.act_scale[i] * scale[i] * y[i] + f.act_bias[i];
  ops::silu_inplace(y, H);
  kron_mix(f.k2a.data(), P, f.k2b.data(), Q, y, z, tmp);
  permute(m.perm2, z, tmp, H);
  for (uint64_t i = 0; i < H; ++i) z[i] *= f.d2[i];
  kron_mix(f.k3a.data(), P, f.k3b.data(), Q, z, y, tmp);
  const uint64_t n = std::min({static_cast<uint64_t>(f.d3.size()), H, D});
  for (uint64_t i = 0; i < n; ++i) out[i] = y[i] * f.d3[i];
  for (uint64_t i = n; i < D; ++i) out[i] = 0.0f;
}

}  // namespace detail

// ---------------------------------------------------------------------------

struct ForwardScratch {
  uint64_t rows = 0, row_pad = 0, ffn_floats = 0, span = 0;
  std::vector<float> lanes, u, old, u_rot, in_rot;  // (rows, L*D), rotated inputs of the products
  std::vector<float> z_pre, z_post, res;            // (rows, L), (rows, L), (rows, L*L)
  std::vector<float> x_pre, x, xn, o, delta, y;     // (rows, D)
  std::vector<float> q, k, v, gt, att;              // (rows, q_dim / k_dim / v_dim / o_dim / o_dim)
  std::vector<float> conv_tmp;                      // (widest of q, k, v)
  std::vector<float> fetch, eval;                   // (rows, F), (rows, D)
  std::vector<float> ekey, econv;                   // (sites, rows, D)
  std::vector<float> row_buf;                       // (rows, row_pad): decoded-row work areas
  std::vector<float> ffn;                           // (rows, ffn_floats)
  std::vector<float> scores;                        // (jobs, heads, span)
  cq::RotatedInput rot1;                            // a single row's rotations, one per block size

  // Every size the buffers derive from, but the row count.
  struct Shape {
    uint64_t d, lanes, sites, qd, kd, vd, od, fetched, pad_in, pad_u, row_pad, experts;
    bool operator==(const Shape&) const = default;
  };
  Shape shape;

  static Shape shape_of(const V3Model& m) {
    const V3Geometry& g = m.geom;
    uint64_t pad_in = 0, experts = 0;
    auto widest = [](uint64_t& w, const cq::CqTensor& t) { w = std::max(w, t.padded_cols()); };
    for (const V3Block& b : m.blocks) {
      for (const auto* t : {&b.q_proj, &b.k_proj, &b.v_proj, &b.gate_proj, &b.out_proj}) widest(pad_in, *t);
      experts = std::max(experts, b.ffn.experts);
    }
    for (const V3Engram& e : m.engrams) {
      widest(pad_in, e.key_proj);
      widest(pad_in, e.value_proj);
    }
    widest(pad_in, m.embedding);  // the read-out of every position
    uint64_t pad_u = 0;
    for (const auto* t : {&m.mhc.phi_pre, &m.mhc.phi_post, &m.mhc.phi_res}) widest(pad_u, *t);
    uint64_t row_pad = m.embedding.padded_cols();
    for (const V3Engram& e : m.engrams) row_pad = std::max(row_pad, e.tables.padded_cols());
    return {g.d_model, g.mhc_lanes, m.engrams.size(), g.q_dim(), g.k_dim(), g.v_dim(), g.o_dim(),
            g.fetched_dim(), pad_in, pad_u, row_pad, experts};
  }

  // True when these buffers serve a prompt pass of m in chunks of n rows.
  bool fits(const V3Model& m, uint64_t n) const { return n <= rows && shape == shape_of(m); }

  ForwardScratch(const V3Model& m, uint64_t n) : rows(n), shape(shape_of(m)) {
    const V3Geometry& g = m.geom;
    const uint64_t D = g.d_model, L = g.mhc_lanes, S = m.engrams.size();
    const uint64_t pad_in = shape.pad_in, pad_u = shape.pad_u, experts = shape.experts;
    for (auto* b : {&lanes, &u, &old}) b->assign(n * L * D, 0.0f);
    u_rot.assign(n * pad_u, 0.0f);
    in_rot.assign(n * pad_in, 0.0f);
    z_pre.assign(n * L, 0.0f);
    z_post.assign(n * L, 0.0f);
    res.assign(n * L * L, 0.0f);
    for (auto* b : {&x_pre, &x, &xn, &o, &delta, &y, &eval}) b->assign(n * D, 0.0f);
    q.assign(n * g.q_dim(), 0.0f);
    k.assign(n * g.k_dim(), 0.0f);
    v.assign(n * g.v_dim(), 0.0f);
    gt.assign(n * g.o_dim(), 0.0f);
    att.assign(n * g.o_dim(), 0.0f);
    conv_tmp.assign(std::max({g.q_dim(), g.k_dim(), g.v_dim()}), 0.0f);
    fetch.assign(n * g.fetched_dim(), 0.0f);
    ekey.assign(S * n * D, 0.0f);
    econv.assign(S * n * D, 0.0f);
    row_pad = shape.row_pad;
    row_buf.assign(n * row_pad, 0.0f);
    for (const V3Block& b : m.blocks)
      for (const auto* t : {&b.q_proj, &b.k_proj, &b.v_proj, &b.gate_proj}) rot1.reserve_for(*t);
    ffn_floats = detail::ffn_work(g, experts);
    ffn.assign(n * ffn_floats, 0.0f);
  }
};

void ScratchDeleter::operator()(ForwardScratch* s) const { delete s; }

namespace {

// out (vector-major, n x count) = rows [first, first + count) of t applied to
// the n rotated inputs; a single vector takes the matrix-vector kernel.
void product(const cq::CqTensor& t, cq::RotatedBatch& rot, const float* x, uint64_t n, uint64_t stride,
             uint64_t first, uint64_t count, float* out) {
  const cq::BatchProduct one[] = {{&t, first, count, {out, n * count}}};
  cq::batch_products(one, rot, x, n, stride);
}

// Causal depthwise convolution of one position's input x (width w) with taps
// (T, w): tap 0 weights x, tap c the input c positions back (zero before the
// start). The history keeps the raw input of position t in row t mod (T-1).
void qkv_conv(const std::vector<float>& taps, uint64_t T, uint64_t w, uint64_t t, float* x, float* hist, float* tmp) {
  for (uint64_t i = 0; i < w; ++i) tmp[i] = taps[i] * x[i];
  for (uint64_t c = 1; c < T && c <= t; ++c) {
    const float* past = hist + ((t - c) % (T - 1)) * w;
    const float* wc = taps.data() + c * w;
    for (uint64_t i = 0; i < w; ++i) tmp[i] += wc[i] * past[i];
  }
  if (T > 1) std::memcpy(hist + (t % (T - 1)) * w, x, w * sizeof(float));
  std::memcpy(x, tmp, w * sizeof(float));
}

void check_session(const V3Model& m, const V3Session& s) {
  VORPEL_CHECK(s.layer_count() == m.blocks.size(), "session was created for a different model");
}

// The chunk [p0, p0 + n) through the whole model; lanes of every row end in sc.lanes.
void run_chunk(const V3Model& m, V3Session& s, std::span<const uint32_t> tokens, uint64_t p0, ForwardScratch& sc,
               CellObserver* obs) {
  const V3Geometry& g = m.geom;
  const uint64_t n = tokens.size(), D = g.d_model, L = g.mhc_lanes, LD = L * D, F = g.fetched_dim();
  const uint64_t qd = g.q_dim(), kd = g.k_dim(), vd = g.v_dim(), od = g.o_dim(), H = g.num_heads;
  const uint64_t hd = g.head_dim, group = g.num_heads / g.num_kv_heads, T = g.qkv_conv_taps;
  const uint64_t threads = pool::thread_count();
  const float scale_div = std::sqrt(static_cast<float>(hd));
  cq::RotatedBatch rot_in(&sc.in_rot), rot_u(&sc.u_rot);

  for (uint64_t j = 0; j < n; ++j) s.push_token(tokens[j]);
  s.reserve(p0 + n);
  s.reserve_engram(p0 + n);
  const std::span<const uint32_t> history = s.tokens();

  // Embedding rows (ids clamped to the table) into every lane; cell 0.
  for_each_index(n, [&](uint64_t j) {
    float* lane0 = sc.lanes.data() + j * LD;
    const uint64_t id = std::min<uint64_t>(tokens[j], g.vocab_size - 1);
    cq::decode_row(m.embedding, id, lane0, sc.row_buf.data() + j * sc.row_pad);
    for (uint64_t l = 1; l < L; ++l) std::memcpy(lane0 + l * D, lane0, D * sizeof(float));
  });
  if (obs)
    for (uint64_t j = 0; j < n; ++j) obs->observe(0, {sc.lanes.data() + j * LD, D});

  // Engram keys and convolved values of every site.
  const uint64_t max_order = g.max_order();
  for (uint64_t site = 0; site < m.engrams.size(); ++site) {
    const V3Engram& e = m.engrams[site];
    for_each_index(n, [&](uint64_t j) {
      const uint64_t t = p0 + j;
      float* f = sc.fetch.data() + j * F;
      for (uint64_t kt = 0; kt < g.num_tables; ++kt) {
        const uint64_t o = kt / g.tables_per_order, jt = kt % g.tables_per_order;
        float* slice = f + kt * g.sub_dim;
        if (t + 1 < g.orders[o]) {  // fewer tokens seen than the n-gram needs
          std::memset(slice, 0, g.sub_dim * sizeof(float));
          continue;
        }
        const uint64_t row = kt * g.table_rows + detail::engram_index(g, history, t, o, jt);
        cq::decode_row(e.tables, row, slice, sc.row_buf.data() + j * sc.row_pad);
      }
    });
    rot_in.invalidate();
    float* keys = sc.ekey.data() + site * sc.rows * D;
    float* convs = sc.econv.data() + site * sc.rows * D;
    product(e.value_proj, rot_in, sc.fetch.data(), n, F, 0, D, sc.eval.data());
    product(e.key_proj, rot_in, sc.fetch.data(), n, F, 0, D, keys);
    // In position order: each value joins the history its successors read.
    for (uint64_t j = 0; j < n; ++j) {
      const uint64_t t = p0 + j;
      const float* val = sc.eval.data() + j * D;
      std::memcpy(s.engram_slot(site, t), val, D * sizeof(float));
      float* out = convs + j * D;
      for (uint64_t i = 0; i < D; ++i) out[i] = e.taps[i] * val[i];
      for (uint64_t c = 1; c < g.conv_taps; ++c) {
        if (t < c * g.tap_stride || t < c * max_order) break;  // this tap and every later one are cut
        const float* past = s.engram_slot(site, t - c * g.tap_stride);
        const float* w = e.taps.data() + c * D;
        for (uint64_t i = 0; i < D; ++i) out[i] += w[i] * past[i];
      }
    }
  }

  const cq::CqTensor& phi = m.mhc.phi_pre;
  auto normalize_lanes = [&](uint64_t j) {
    float* u = sc.u.data() + j * LD;
    ops::rms_normalize({sc.lanes.data() + j * LD, LD}, {u, LD});
    rot_u.rotate_row(phi, u, j);
  };
  for_each_index(n, normalize_lanes);

  for (uint64_t b = 0; b < m.blocks.size(); ++b) {
    const V3Block& blk = m.blocks[b];
    const uint64_t home = b % L;
    const ops::MhcParams mp{m.mhc.a_pre[b], m.mhc.a_post[b], m.mhc.a_res[b], m.mhc.b_pre.data() + b * L,
                            m.mhc.b_post.data() + b * L, m.mhc.b_res.data() + b * L * L};

    // mHC raw products from one normalisation of the lanes (made, with its
    // rotation, at the end of the previous block or before the first).
    rot_u.mark_rotated(phi);
    const cq::BatchProduct mix[] = {{&m.mhc.phi_pre, b * L, L, {sc.z_pre.data(), n * L}},
                                    {&m.mhc.phi_post, b * L, L, {sc.z_post.data(), n * L}},
                                    {&m.mhc.phi_res, b * L * L, L * L, {sc.res.data(), n * L * L}}};
    cq::batch_products(mix, rot_u, sc.u.data(), n, LD);

    // Block input: pre-mix, engram injections, then the attention norm.
    for_each_index(n, [&](uint64_t j) {
      float* x_pre = sc.x_pre.data() + j * D;
      float* x = sc.x.data() + j * D;
      ops::mhc_premix(mp, L, D, home, sc.lanes.data() + j * LD, sc.z_pre.data() + j * L, x_pre);
      std::memcpy(x, x_pre, D * sizeof(float));
      for (uint32_t site : blk.sites) {
        const float* key = sc.ekey.data() + (site * sc.rows + j) * D;
        const float* val = sc.econv.data() + (site * sc.rows + j) * D;
        const float z = ops::dot(x, key, D) / (ops::rms_scale({x, D}) * ops::rms_scale({key, D})) /
                        std::sqrt(static_cast<float>(D));
        ops::axpy(x, ops::sigmoid(z), val, D);
      }
      float* xn = sc.xn.data() + j * D;
      ops::rms_norm({x, D}, blk.norm_in, {xn, D});
      if (n > 1) rot_in.rotate_row(blk.q_proj, xn, j);
      // The block's mixing coefficients, two positions at a time (the even one
      // takes its neighbour); their inputs are final once the products ran.
      if (j % 2 == 0) {
        float* post = sc.z_post.data() + j * L;
        float* res = sc.res.data() + j * L * L;
        if (j + 1 < n)
          ops::mhc_coefficients_pair(mp, L, home, post, res, post + L, res + L * L);
        else
          ops::mhc_coefficients(mp, L, home, post, res);
      }
    });

    rot_in.invalidate();
    if (n == 1) {
      // A single position: the four projections of xn in one parallel region,
      // each reading the rotation of its own block size.
      const std::span<const float> x1(sc.xn.data(), D);
      sc.rot1.invalidate();
      const cq::Product group[] = {{&blk.q_proj, sc.rot1.get(blk.q_proj, x1), 0, {sc.q.data(), qd}},
                                   {&blk.k_proj, sc.rot1.get(blk.k_proj, x1), 0, {sc.k.data(), kd}},
                                   {&blk.v_proj, sc.rot1.get(blk.v_proj, x1), 0, {sc.v.data(), vd}},
                                   {&blk.gate_proj, sc.rot1.get(blk.gate_proj, x1), 0, {sc.gt.data(), od}}};
      cq::matvec_group(group);
    } else {
      rot_in.mark_rotated(blk.q_proj);
      const cq::BatchProduct qkvg[] = {{&blk.q_proj, 0, qd, {sc.q.data(), n * qd}},
                                       {&blk.k_proj, 0, kd, {sc.k.data(), n * kd}},
                                       {&blk.v_proj, 0, vd, {sc.v.data(), n * vd}},
                                       {&blk.gate_proj, 0, od, {sc.gt.data(), n * od}}};
      cq::batch_products(qkvg, rot_in, sc.xn.data(), n, D);
    }

    V3Session::LayerCache& cache = s.layer(b);
    if (T > 0) {
      for (uint64_t j = 0; j < n; ++j) {
        const uint64_t t = p0 + j;
        qkv_conv(blk.q_conv, T, qd, t, sc.q.data() + j * qd, cache.q_hist.data(), sc.conv_tmp.data());
        qkv_conv(blk.k_conv, T, kd, t, sc.k.data() + j * kd, cache.k_hist.data(), sc.conv_tmp.data());
        qkv_conv(blk.v_conv, T, vd, t, sc.v.data() + j * vd, cache.v_hist.data(), sc.conv_tmp.data());
      }
    }
    for_each_index(n, [&](uint64_t j) {
      float* q = sc.q.data() + j * qd;
      float* k = sc.k.data() + j * kd;
      for (uint64_t h = 0; h < H; ++h) ops::rms_norm({q + h * hd, hd}, blk.q_norm, {q + h * hd, hd});
      for (uint64_t h = 0; h < g.num_kv_heads; ++h) ops::rms_norm({k + h * hd, hd}, blk.k_norm, {k + h * hd, hd});
      m.rope.rotate(q, H, p0 + j);
      m.rope.rotate(k, g.num_kv_heads, p0 + j);
    });

    // Cache writes and attention. When no write of the chunk lands on a slot
    // that any row of the chunk still reads (the last write displaces position
    // p_last - allocated, below the first row's window), all writes go first
    // and rows attend in parallel; otherwise each row is written just before
    // it attends, so a short window's ring never serves a row a later one.
    const uint64_t p_last = p0 + n - 1;
    const uint64_t first0 = s.visible_start(b, p0);
    const bool writes_first = p_last < cache.allocated || p_last - cache.allocated < first0;
    const ops::KvView kv = s.view(b);
    auto attend_row = [&](uint64_t j, uint64_t h0, uint64_t h1, float* scores) {
      const uint64_t p = p0 + j, first = s.visible_start(b, p);
      ops::attend(kv, group, sc.q.data() + j * qd, sc.att.data() + j * od, h0, h1, first, p - first + 1,
                  scale_div, scores);
    };
    const uint64_t span = s.visible_span(b, p_last);
    if (sc.span < span || sc.scores.size() < threads * 4 * H * span) {
      sc.span = std::max(sc.span, span);
      sc.scores.assign(threads * 4 * H * sc.span, 0.0f);
    }
    if (writes_first) {
      for (uint64_t j = 0; j < n; ++j) s.store(b, p0 + j, sc.k.data() + j * kd, sc.v.data() + j * vd);
      // Job c takes the (row, kv group) pairs c, c + jobs, c + 2 jobs, ...:
      // later rows attend more positions, so striding evens the jobs out.
      const uint64_t groups = g.num_kv_heads, pairs = n * groups;
      const uint64_t jobs = std::min<uint64_t>(pairs, threads <= 1 ? 1 : 4 * threads);
      auto job = [&](size_t c) {
        float* scores = sc.scores.data() + c * H * sc.span;
        for (uint64_t e = c; e < pairs; e += jobs) {
          const uint64_t j = e / groups, kvh = e % groups;
          attend_row(j, kvh * group, (kvh + 1) * group, scores);
        }
      };
      if (jobs <= 1)
        job(0);
      else
        pool::parallel_for(jobs, job);
    } else {
      for (uint64_t j = 0; j < n; ++j) {
        s.store(b, p0 + j, sc.k.data() + j * kd, sc.v.data() + j * vd);
        auto kv_group = [&](size_t kvh) {
          attend_row(j, kvh * group, (kvh + 1) * group, sc.scores.data() + kvh * group * sc.span);
        };
        if (threads <= 1 || g.num_kv_heads == 1)
          for (uint64_t kvh = 0; kvh < g.num_kv_heads; ++kvh) kv_group(kvh);
        else
          pool::parallel_for(g.num_kv_heads, kv_group);
      }
    }
    rot_in.invalidate();
    for_each_index(n, [&](uint64_t j) {
      float* att = sc.att.data() + j * od;
      ops::mul_sigmoid(att, sc.gt.data() + j * od, od);
      rot_in.rotate_row(blk.out_proj, att, j);
    });
    rot_in.mark_rotated(blk.out_proj);
    product(blk.out_proj, rot_in, sc.att.data(), n, od, 0, D, sc.o.data());

    // Gated residual, feed-forward, mHC update; then cell b + 1.
    const float gate = ops::sigmoid(blk.attn_gate);
    const bool more = b + 1 < m.blocks.size();
    for_each_index(n, [&](uint64_t j) {
      float* x = sc.x.data() + j * D;
      float* o = sc.o.data() + j * D;
      float* delta = sc.delta.data() + j * D;
      const float* x_pre = sc.x_pre.data() + j * D;
      ops::rms_norm({o, D}, blk.post_norm, {o, D});
      ops::axpy(x, gate, o, D);
      ops::rms_norm({x, D}, blk.ffn_norm, {o, D});  // o is free again: it holds the normed input
      detail::ffn_row(m, blk, o, delta, sc.ffn.data() + j * sc.ffn_floats);
      for (uint64_t i = 0; i < D; ++i) delta[i] = (x[i] + delta[i]) - x_pre[i];
      ops::mhc_update(L, D, sc.res.data() + j * L * L, sc.z_post.data() + j * L, delta, sc.lanes.data() + j * LD,
                      sc.old.data() + j * LD);
      if (obs) ops::lane_mean(L, D, sc.lanes.data() + j * LD, sc.y.data() + j * D);
      if (more) normalize_lanes(j);
    });
    if (obs)
      for (uint64_t j = 0; j < n; ++j) obs->observe(b + 1, {sc.y.data() + j * D, D});
  }
}

// Logits of rows [r0, r0 + count) of the chunk's lanes into out (count x logit_rows).
void read_out(const V3Model& m, ForwardScratch& sc, uint64_t r0, uint64_t count, float* out) {
  const V3Geometry& g = m.geom;
  const uint64_t D = g.d_model, L = g.mhc_lanes;
  for_each_index(count, [&](uint64_t i) {
    float* y = sc.y.data() + i * D;
    ops::lane_mean(L, D, sc.lanes.data() + (r0 + i) * L * D, y);
    ops::rms_norm({y, D}, m.final_norm, {y, D});
  });
  cq::RotatedBatch rot(&sc.in_rot);
  product(m.embedding, rot, sc.y.data(), count, D, 0, g.logit_rows, out);
}

void run(const V3Model& m, V3Session& s, std::span<const uint32_t> tokens, LogitsFor which, std::span<float> out,
         CellObserver* obs, const std::function<void()>& between_chunks, ForwardScratch& sc) {
  const V3Geometry& g = m.geom;
  const uint64_t n = tokens.size(), start = s.positions();
  VORPEL_CHECK(start <= g.max_seq_len && n <= g.max_seq_len - start, "forward: positions beyond max_seq_len");
  const uint64_t want = which == LogitsFor::None ? 0 : which == LogitsFor::Last ? (n ? g.logit_rows : 0)
                                                                                  : n * g.logit_rows;
  VORPEL_CHECK(out.size() == want, "forward: logits buffer has the wrong size");
  for (uint64_t c0 = 0; c0 < n; c0 += sc.rows) {
    if (c0 > 0 && between_chunks) between_chunks();
    const uint64_t cn = std::min(sc.rows, n - c0);
    run_chunk(m, s, tokens.subspan(c0, cn), start + c0, sc, obs);
    if (which == LogitsFor::Every) read_out(m, sc, 0, cn, out.data() + c0 * g.logit_rows);
    if (which == LogitsFor::Last && c0 + cn == n) read_out(m, sc, cn - 1, 1, out.data());
  }
}

}  // namespace

void prefill(const V3Model& m, V3Session& s, std::span<const uint32_t> tokens, LogitsFor which, std::span<float> out,
             CellObserver* observer, const std::function<void()>& between_chunks) {
  check_session(m, s);
  if (tokens.empty()) {
    VORPEL_CHECK(out.empty(), "forward: logits buffer has the wrong size");
    return;
  }
  // Kept by the thread for its next prompt pass.
  core::ScratchLease<ForwardScratch> lease(m, std::min<uint64_t>(kPrefillChunk, tokens.size()));
  run(m, s, tokens, which, out, observer, between_chunks, lease.get());
}

void step(const V3Model& m, V3Session& s, uint32_t token, std::span<float> logits, CellObserver* observer) {
  check_session(m, s);
  if (!s.step_scratch_) s.step_scratch_.reset(new ForwardScratch(m, 1));
  const uint32_t tokens[1] = {token};
  run(m, s, tokens, LogitsFor::Last, logits, observer, {}, *s.step_scratch_);
}

}  // namespace vorpel::v3

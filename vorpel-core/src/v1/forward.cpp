// Encoder pass, cross caches, decoder step and contrastive head of the first
// generation, composed from the 4-bit products and the shared ops.
#include "vorpel/v1/forward.hpp"

#include <cmath>
#include <string>

#include "vorpel/core/diagnostic.hpp"
#include "vorpel/core/panic.hpp"
#include "vorpel/ops/attention.hpp"
#include "vorpel/ops/vector_ops.hpp"

namespace vorpel::v1 {

namespace {

// The per-head norm of `heads` consecutive head vectors, in place.
void norm_heads(float* x, uint64_t heads, uint64_t hd, const std::vector<float>& w) {
  for (uint64_t h = 0; h < heads; ++h) ops::rms_norm({x + h * hd, hd}, w, {x + h * hd, hd});
}

// Query heads of q attend over n positions of kv; with no position at all the
// output is the empty sum, zero.
void attend_all(const ops::KvView& kv, const V1Config& c, const float* q, float* out, uint64_t n, float* scores) {
  if (n == 0) {
    std::fill(out, out + c.q_dim(), 0.0f);
    return;
  }
  ops::attend(kv, c.group(), q, out, 0, c.num_heads, 0, n, std::sqrt(static_cast<float>(c.head_dim())), scores);
}

ops::KvView view(const float* k, const float* v, uint64_t slots, const V1Config& c) {
  ops::KvView kv;
  kv.k = k;
  kv.v = v;
  kv.slots = slots;
  kv.kv_heads = c.num_kv_heads;
  kv.k_width = kv.v_width = c.head_dim();
  return kv;
}

// x (rows of d_model) += sigmoid(gate) * feed-forward(RMS norm of x), batched.
// a and b are scratch of rows * ffn_dim, u and o of rows * d_model.
void feed_forward(const V1FeedForward& f, Activation act, float* x, uint64_t rows, uint64_t d,
                  std::vector<float>& u, std::vector<float>& a, std::vector<float>& b, std::vector<float>& o) {
  const uint64_t hidden = f.gate_proj.out_features();
  u.resize(rows * d);
  a.resize(rows * hidden);
  b.resize(rows * hidden);
  o.resize(rows * d);
  for (uint64_t i = 0; i < rows; ++i) ops::rms_norm({x + i * d, d}, f.norm, {u.data() + i * d, d});
  matmul(f.gate_proj, u, rows, a);
  matmul(f.up_proj, u, rows, b);
  for (uint64_t i = 0; i < a.size(); ++i) a[i] = activate(act, a[i], b[i]);
  matmul(f.down_proj, a, rows, o);
  const float g = ops::sigmoid(f.gate);
  for (uint64_t i = 0; i < rows; ++i) ops::axpy(x + i * d, g, o.data() + i * d, d);
}

}  // namespace

float activate(Activation act, float a, float b) {
  switch (act) {
    case Activation::SwiGlu: return a / (1.0f + std::exp(-a)) * b;
    case Activation::GeGlu:
      return 0.5f * a * (1.0f + std::tanh(0.7978846f * (a + 0.044715f * a * a * a))) * b;
    case Activation::Relu: break;
  }
  return std::max(a, 0.0f) * std::max(b, 0.0f);
}

void embed(const V1Model& m, uint32_t t, std::span<float> x) {
  const uint64_t d = m.config.d_model;
  VORPEL_CHECK(x.size() == d, "embed: output is not d_model long");
  const uint64_t row = std::min<uint64_t>(t, m.config.vocab_size - 1);
  const float scale = std::sqrt(static_cast<float>(d));
  const float* e = m.embedding.data() + row * d;
  for (uint64_t j = 0; j < d; ++j) x[j] = e[j] * scale;
}

std::vector<float> encode(const V1Model& m, std::span<const uint32_t> tokens) {
  const V1Config& c = m.config;
  const uint64_t M = tokens.size(), d = c.d_model, hd = c.head_dim(), qd = c.q_dim(), kvd = c.kv_dim();
  VORPEL_CHECK(M <= c.rope_positions(), "encoder input of " + std::to_string(M) + " tokens is longer than the " +
                                            std::to_string(c.rope_positions()) + " rotary positions");
  std::vector<float> x(M * d);
  for (uint64_t i = 0; i < M; ++i) embed(m, tokens[i], {x.data() + i * d, d});
  if (M == 0) return x;

  std::vector<float> u(M * d), q(M * qd), k(M * kvd), v(M * kvd), att(M * qd), o(M * d), scores(c.num_heads * M);
  std::vector<float> fa, fb;
  for (const V1Block& blk : m.encoder) {
    const V1Attention& a = blk.self_attn;
    for (uint64_t i = 0; i < M; ++i) ops::rms_norm({x.data() + i * d, d}, blk.self_attn_norm, {u.data() + i * d, d});
    matmul(a.wq, u, M, q);
    matmul(a.wk, u, M, k);
    matmul(a.wv, u, M, v);
    for (uint64_t i = 0; i < M; ++i) {
      norm_heads(q.data() + i * qd, c.num_heads, hd, a.q_norm);
      norm_heads(k.data() + i * kvd, c.num_kv_heads, hd, a.k_norm);
      m.rope.rotate(q.data() + i * qd, c.num_heads, i);
      m.rope.rotate(k.data() + i * kvd, c.num_kv_heads, i);
    }
    // No mask: every position sees every other.
    const ops::KvView kv = view(k.data(), v.data(), M, c);
    for (uint64_t i = 0; i < M; ++i) attend_all(kv, c, q.data() + i * qd, att.data() + i * qd, M, scores.data());
    matmul(a.wo, att, M, o);
    const float g = ops::sigmoid(blk.self_attn_gate);
    for (uint64_t i = 0; i < M; ++i) ops::axpy(x.data() + i * d, g, o.data() + i * d, d);
    if (blk.ffn) feed_forward(*blk.ffn, c.activation, x.data(), M, d, u, fa, fb, o);
  }
  for (uint64_t i = 0; i < M; ++i) ops::rms_norm({x.data() + i * d, d}, m.encoder_final_norm, {x.data() + i * d, d});
  return x;
}

V1Decoder::V1Decoder(const V1Model& m, std::span<const float> encoder_out, uint64_t m_rows, uint64_t capacity)
    : m_(m) {
  const V1Config& c = m.config;
  const uint64_t d = c.d_model, kvd = c.kv_dim();
  VORPEL_CHECK(encoder_out.size() == m_rows * d, "decoder: encoder output is not rows x d_model");
  self_.resize(m.decoder.size());
  cross_.resize(m.decoder.size());
  for (size_t b = 0; b < m.decoder.size(); ++b) {
    self_[b].capacity = capacity;
    const V1Attention& a = m.decoder[b].cross->attn;
    V1CrossCache& cc = cross_[b];
    cc.len = m_rows;
    cc.k.resize(m_rows * kvd);
    cc.v.resize(m_rows * kvd);
    if (m_rows == 0) continue;
    matmul(a.wk, encoder_out, m_rows, cc.k);
    matmul(a.wv, encoder_out, m_rows, cc.v);
    for (uint64_t i = 0; i < m_rows; ++i) norm_heads(cc.k.data() + i * kvd, c.num_kv_heads, c.head_dim(), a.k_norm);
  }
  x_.resize(d);
  u_.resize(d);
  q_.resize(c.q_dim());
  k_.resize(kvd);
  v_.resize(kvd);
  att_.resize(c.q_dim());
  o_.resize(d);
}

void V1Decoder::step(uint32_t t, std::span<float> logits) {
  const V1Config& c = m_.config;
  const uint64_t d = c.d_model, hd = c.head_dim();
  VORPEL_CHECK(logits.size() == c.vocab_size, "decoder step: logits buffer is not vocab_size long");
  embed(m_, t, x_);
  for (size_t b = 0; b < m_.decoder.size(); ++b) {
    const V1Block& blk = m_.decoder[b];
    V1SelfCache& sc = self_[b];

    // Self-attention over this block's earlier positions and this one.
    const V1Attention& a = blk.self_attn;
    ops::rms_norm(x_, blk.self_attn_norm, u_);
    matvec(a.wq, u_, q_);
    matvec(a.wk, u_, k_);
    matvec(a.wv, u_, v_);
    norm_heads(q_.data(), c.num_heads, hd, a.q_norm);
    norm_heads(k_.data(), c.num_kv_heads, hd, a.k_norm);
    const uint64_t p = sc.len;
    m_.rope.rotate(q_.data(), c.num_heads, p);
    m_.rope.rotate(k_.data(), c.num_kv_heads, p);
    if (sc.len < sc.capacity) {
      sc.k.insert(sc.k.end(), k_.begin(), k_.end());
      sc.v.insert(sc.v.end(), v_.begin(), v_.end());
      ++sc.len;
    } else {
      diagnostic_line("[vorpel-core] KV cache full at " + std::to_string(p) + " steps \u2014 output will degrade");
    }
    scores_.resize(std::max<uint64_t>(c.num_heads * std::max<uint64_t>(sc.len, cross_[b].len), 1));
    attend_all(view(sc.k.data(), sc.v.data(), sc.len, c), c, q_.data(), att_.data(), sc.len, scores_.data());
    matvec(a.wo, att_, o_);
    ops::axpy(x_.data(), ops::sigmoid(blk.self_attn_gate), o_.data(), d);

    // Cross-attention over the encoder output; no rotary positions here.
    const V1Cross& cr = *blk.cross;
    ops::rms_norm(x_, cr.norm, u_);
    matvec(cr.attn.wq, u_, q_);
    norm_heads(q_.data(), c.num_heads, hd, cr.attn.q_norm);
    const V1CrossCache& cc = cross_[b];
    attend_all(view(cc.k.data(), cc.v.data(), cc.len, c), c, q_.data(), att_.data(), cc.len, scores_.data());
    matvec(cr.attn.wo, att_, o_);
    ops::axpy(x_.data(), ops::sigmoid(cr.gate), o_.data(), d);

    if (blk.ffn) feed_forward(*blk.ffn, c.activation, x_.data(), 1, d, u_, a_, b_, o_);
  }
  ops::rms_norm(x_, m_.decoder_final_norm, x_);
  // The embedding is the output projection.
  for (uint64_t tok = 0; tok < c.vocab_size; ++tok) logits[tok] = ops::dot(x_.data(), m_.embedding.data() + tok * d, d);
}

std::vector<float> mean_rows(std::span<const float> e, uint64_t rows, uint64_t width) {
  std::vector<float> p(width, 0.0f);
  if (rows == 0) return p;
  for (uint64_t i = 0; i < rows; ++i)
    for (uint64_t j = 0; j < width; ++j) p[j] += e[i * width + j];
  const float n = static_cast<float>(rows);
  for (float& v : p) v /= n;
  return p;
}

std::vector<float> contrastive_project(const V1ContrastiveHead& head, std::span<const float> pooled) {
  const uint64_t H = head.hidden, C = head.dim;
  std::vector<float> h(head.hidden_bias.begin(), head.hidden_bias.end());
  for (uint64_t j = 0; j < pooled.size(); ++j) ops::axpy(h.data(), pooled[j], head.hidden_kernel.data() + j * H, H);
  for (float& v : h) v = std::max(v, 0.0f);
  std::vector<float> z(C, 0.0f);
  for (uint64_t i = 0; i < H; ++i) ops::axpy(z.data(), h[i], head.proj_kernel.data() + i * C, C);
  return z;
}

}  // namespace vorpel::v1

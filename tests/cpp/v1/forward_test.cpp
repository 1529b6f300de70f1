// First-generation forward pass against plain double-precision loops over the
// dequantised weights: encoder output, cross caches and decoder logits over a
// table of head layouts, activations and feed-forward settings, including
// steps past a full self-attention cache; plus the building blocks' rules.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "v1/v1_files.hpp"
#include "vorpel/core/panic.hpp"
#include "vorpel/v1/forward.hpp"

namespace {

using namespace vorpel::v1;
using Vec = std::vector<double>;

struct Layout {
  uint64_t heads, kv_heads, head_dim, ffn_dim;
  Activation act;
  bool ffn;
  uint64_t enc_layers, dec_layers, tokens, capacity, steps;
};

const Layout kLayouts[] = {
    {2, 1, 4, 12, Activation::Relu, true, 1, 1, 5, 8, 3},
    {4, 2, 6, 10, Activation::SwiGlu, true, 2, 2, 7, 3, 6},   // steps past a full cache
    {4, 4, 3, 9, Activation::GeGlu, true, 1, 2, 4, 5, 4},     // odd head_dim: last element unrotated
    {6, 3, 8, 0, Activation::Relu, false, 2, 1, 9, 0, 2},     // no feed-forward, a cache of 0 positions
    {8, 2, 2, 33, Activation::GeGlu, true, 1, 1, 1, 4, 4},
    {3, 1, 5, 17, Activation::SwiGlu, true, 0, 1, 3, 6, 3},   // no encoder block: final norm only
};

QuantLinear rand_linear(uint64_t in, uint64_t out, std::mt19937_64& rng) {
  return QuantLinear::quantize(in, out, v1test::normal(in * out, 1.0f / std::sqrt(static_cast<float>(in)), rng));
}

V1Attention rand_attn(const V1Config& c, std::mt19937_64& rng) {
  V1Attention a;
  a.wq = rand_linear(c.d_model, c.q_dim(), rng);
  a.wk = rand_linear(c.d_model, c.kv_dim(), rng);
  a.wv = rand_linear(c.d_model, c.kv_dim(), rng);
  a.wo = rand_linear(c.q_dim(), c.d_model, rng);
  a.q_norm = v1test::normal(c.head_dim(), 0.2f, rng);
  a.k_norm = v1test::normal(c.head_dim(), 0.2f, rng);
  return a;
}

V1Block rand_block(const V1Config& c, bool decoder, std::mt19937_64& rng) {
  V1Block b;
  b.self_attn = rand_attn(c, rng);
  b.self_attn_gate = v1test::normal(1, 1.0f, rng)[0];
  b.self_attn_norm = v1test::normal(c.d_model, 0.2f, rng);
  if (!c.no_feedforward) {
    V1FeedForward f;
    f.gate_proj = rand_linear(c.d_model, c.ffn_dim, rng);
    f.up_proj = rand_linear(c.d_model, c.ffn_dim, rng);
    f.down_proj = rand_linear(c.ffn_dim, c.d_model, rng);
    f.gate = v1test::normal(1, 1.0f, rng)[0];
    f.norm = v1test::normal(c.d_model, 0.2f, rng);
    b.ffn = std::move(f);
  }
  if (decoder) b.cross = V1Cross{rand_attn(c, rng), v1test::normal(1, 1.0f, rng)[0], v1test::normal(c.d_model, 0.2f, rng)};
  return b;
}

V1Model rand_model(const Layout& l, uint64_t seed) {
  std::mt19937_64 rng(seed);
  V1Model m;
  V1Config& c = m.config;
  c.num_heads = l.heads;
  c.num_kv_heads = l.kv_heads;
  c.d_model = l.heads * l.head_dim;
  c.ffn_dim = l.ffn_dim;
  c.no_feedforward = !l.ffn;
  c.activation = l.act;
  c.vocab_size = 23;
  c.max_enc_len = 16;
  c.max_dec_len = l.capacity;
  c.num_encoder_layers = l.enc_layers;
  c.num_decoder_layers = l.dec_layers;
  c.rope_theta = 500.0f;
  m.embedding = v1test::normal(c.vocab_size * c.d_model, 1.0f / std::sqrt(static_cast<float>(c.d_model)), rng);
  for (uint64_t i = 0; i < l.enc_layers; ++i) m.encoder.push_back(rand_block(c, false, rng));
  for (uint64_t i = 0; i < l.dec_layers; ++i) m.decoder.push_back(rand_block(c, true, rng));
  m.encoder_final_norm = v1test::normal(c.d_model, 0.2f, rng);
  m.decoder_final_norm = v1test::normal(c.d_model, 0.2f, rng);
  m.rope = vorpel::ops::RopeTable(c.head_dim(), c.rope_theta, c.rope_positions());
  return m;
}

// ---- plain loops ------------------------------------------------------------

struct Plain {
  const V1Model& m;
  const V1Config& c = m.config;

  Vec lin(const QuantLinear& w, const Vec& x) const {
    Vec y(w.out_features(), 0.0);
    for (uint64_t r = 0; r < w.in_features(); ++r)
      for (uint64_t col = 0; col < w.out_features(); ++col) y[col] += x[r] * w.code(r, col) * w.scale(r, col);
    return y;
  }
  static Vec rms(const Vec& x, const std::vector<float>& w, size_t off = 0, size_t n = 0) {
    if (n == 0) n = x.size();
    double ss = 0;
    for (size_t i = 0; i < n; ++i) ss += x[off + i] * x[off + i];
    const double r = std::sqrt(ss / n + 1e-6);
    Vec y(x);
    for (size_t i = 0; i < n; ++i) y[off + i] = x[off + i] / r * (1.0 + w[i]);
    return y;
  }
  Vec heads_norm(Vec x, const std::vector<float>& w) const {
    for (size_t h = 0; h < x.size() / c.head_dim(); ++h) x = rms(x, w, h * c.head_dim(), c.head_dim());
    return x;
  }
  Vec rope(Vec x, uint64_t p) const {
    const uint64_t hd = c.head_dim(), half = hd / 2;
    for (size_t h = 0; h < x.size() / hd; ++h)
      for (uint64_t j = 0; j < half; ++j) {
        const double a = p / std::pow(static_cast<double>(c.rope_theta), 2.0 * j / hd);
        const double u = x[h * hd + j], v = x[h * hd + j + half];
        x[h * hd + j] = u * std::cos(a) - v * std::sin(a);
        x[h * hd + j + half] = u * std::sin(a) + v * std::cos(a);
      }
    return x;
  }
  // Query head h uses kv head h / (heads / kv_heads); no positions: zeros.
  Vec attend(const Vec& q, const std::vector<Vec>& K, const std::vector<Vec>& V) const {
    const uint64_t hd = c.head_dim(), group = c.num_heads / c.num_kv_heads;
    Vec out(c.q_dim(), 0.0);
    if (K.empty()) return out;
    for (uint64_t h = 0; h < c.num_heads; ++h) {
      const uint64_t kh = h / group;
      Vec s(K.size());
      double mx = -INFINITY, sum = 0;
      for (size_t i = 0; i < K.size(); ++i) {
        double d = 0;
        for (uint64_t j = 0; j < hd; ++j) d += q[h * hd + j] * K[i][kh * hd + j];
        s[i] = d / std::sqrt(static_cast<double>(hd));
        mx = std::max(mx, s[i]);
      }
      for (double& v : s) sum += (v = std::exp(v - mx));
      for (size_t i = 0; i < K.size(); ++i)
        for (uint64_t j = 0; j < hd; ++j) out[h * hd + j] += s[i] / sum * V[i][kh * hd + j];
    }
    return out;
  }
  static double sig(double g) { return 1.0 / (1.0 + std::exp(-g)); }
  void add(Vec& x, double g, const Vec& o) const {
    for (size_t i = 0; i < x.size(); ++i) x[i] += sig(g) * o[i];
  }
  void ffn(const V1Block& b, Vec& x) const {
    if (!b.ffn) return;
    const Vec u = rms(x, b.ffn->norm);
    Vec a = lin(b.ffn->gate_proj, u);
    const Vec bb = lin(b.ffn->up_proj, u);
    for (size_t i = 0; i < a.size(); ++i) {
      const double g = a[i];
      if (c.activation == Activation::Relu) a[i] = std::max(g, 0.0) * std::max(bb[i], 0.0);
      else if (c.activation == Activation::SwiGlu) a[i] = g / (1 + std::exp(-g)) * bb[i];
      else a[i] = 0.5 * g * (1 + std::tanh(0.7978846 * (g + 0.044715 * g * g * g))) * bb[i];
    }
    add(x, b.ffn->gate, lin(b.ffn->down_proj, a));
  }
  Vec embed(uint32_t t) const {
    Vec x(c.d_model);
    for (uint64_t j = 0; j < c.d_model; ++j) x[j] = m.embedding[t * c.d_model + j] * std::sqrt(double(c.d_model));
    return x;
  }

  std::vector<Vec> encode(const std::vector<uint32_t>& ids) const {
    std::vector<Vec> x;
    for (uint32_t t : ids) x.push_back(embed(t));
    for (const V1Block& b : m.encoder) {
      std::vector<Vec> q, k, v;
      for (size_t i = 0; i < x.size(); ++i) {
        const Vec u = rms(x[i], b.self_attn_norm);
        q.push_back(rope(heads_norm(lin(b.self_attn.wq, u), b.self_attn.q_norm), i));
        k.push_back(rope(heads_norm(lin(b.self_attn.wk, u), b.self_attn.k_norm), i));
        v.push_back(lin(b.self_attn.wv, u));
      }
      for (size_t i = 0; i < x.size(); ++i) add(x[i], b.self_attn_gate, lin(b.self_attn.wo, attend(q[i], k, v)));
      for (Vec& row : x) ffn(b, row);
    }
    for (Vec& row : x) row = rms(row, m.encoder_final_norm);
    return x;
  }

  struct State {
    std::vector<std::vector<Vec>> sk, sv, ck, cv;
  };
  State start(const std::vector<Vec>& e) const {
    State s;
    s.sk.resize(m.decoder.size());
    s.sv.resize(m.decoder.size());
    for (const V1Block& b : m.decoder) {
      std::vector<Vec> k, v;
      for (const Vec& row : e) {
        k.push_back(heads_norm(lin(b.cross->attn.wk, row), b.cross->attn.k_norm));
        v.push_back(lin(b.cross->attn.wv, row));
      }
      s.ck.push_back(k);
      s.cv.push_back(v);
    }
    return s;
  }
  Vec step(State& s, uint32_t t) const {
    Vec x = embed(t);
    for (size_t bi = 0; bi < m.decoder.size(); ++bi) {
      const V1Block& b = m.decoder[bi];
      const Vec u = rms(x, b.self_attn_norm);
      const uint64_t p = s.sk[bi].size();
      const Vec q = rope(heads_norm(lin(b.self_attn.wq, u), b.self_attn.q_norm), p);
      if (p < c.max_dec_len) {
        s.sk[bi].push_back(rope(heads_norm(lin(b.self_attn.wk, u), b.self_attn.k_norm), p));
        s.sv[bi].push_back(lin(b.self_attn.wv, u));
      }
      add(x, b.self_attn_gate, lin(b.self_attn.wo, attend(q, s.sk[bi], s.sv[bi])));
      const Vec cq = heads_norm(lin(b.cross->attn.wq, rms(x, b.cross->norm)), b.cross->attn.q_norm);
      add(x, b.cross->gate, lin(b.cross->attn.wo, attend(cq, s.ck[bi], s.cv[bi])));
      ffn(b, x);
    }
    x = rms(x, m.decoder_final_norm);
    Vec logits(c.vocab_size, 0.0);
    for (uint64_t v = 0; v < c.vocab_size; ++v)
      for (uint64_t j = 0; j < c.d_model; ++j) logits[v] += x[j] * m.embedding[v * c.d_model + j];
    return logits;
  }
};

// |got - want| within tol x the largest reference magnitude.
void expect_close(const float* got, const Vec& want, double tol, const std::string& what) {
  double scale = 1e-30;
  for (double w : want) scale = std::max(scale, std::fabs(w));
  for (size_t i = 0; i < want.size(); ++i)
    ASSERT_LE(std::fabs(got[i] - want[i]), tol * scale) << what << " element " << i << ": expected " << want[i]
                                                        << ", got " << got[i];
}

class V1Forward : public ::testing::TestWithParam<Layout> {};

TEST_P(V1Forward, MatchesPlainLoops) {
  const Layout l = GetParam();
  for (uint64_t seed = 1; seed <= 3; ++seed) {
    const V1Model m = rand_model(l, seed * 7919 + l.heads);
    const Plain plain{m};
    std::mt19937_64 rng(seed);
    std::vector<uint32_t> ids(l.tokens);
    for (auto& t : ids) t = static_cast<uint32_t>(rng() % m.config.vocab_size);
    const std::string tag = "seed " + std::to_string(seed) + " heads " + std::to_string(l.heads);

    const std::vector<float> e = encode(m, ids);
    const std::vector<Vec> e_ref = plain.encode(ids);
    ASSERT_EQ(e.size(), ids.size() * m.config.d_model);
    for (size_t i = 0; i < ids.size(); ++i)
      expect_close(e.data() + i * m.config.d_model, e_ref[i], 2e-5, tag + " encoder row " + std::to_string(i));

    v1test::StderrCapture cap;
    V1Decoder dec(m, e, ids.size(), l.capacity);
    Plain::State st = plain.start(e_ref);
    std::vector<float> logits(m.config.vocab_size);
    uint32_t t = kDecoderStartId;
    for (uint64_t s = 0; s < l.steps; ++s) {
      dec.step(t, logits);
      expect_close(logits.data(), plain.step(st, t), 5e-5, tag + " step " + std::to_string(s));
      t = static_cast<uint32_t>(rng() % m.config.vocab_size);
    }
    // Every step past the capacity warns once per decoder block.
    const auto lines = cap.lines();
    const uint64_t full_steps = l.steps > l.capacity ? l.steps - l.capacity : 0;
    ASSERT_EQ(lines.size(), full_steps * l.dec_layers) << tag;
    for (const auto& line : lines)
      EXPECT_EQ(line, "[vorpel-core] KV cache full at " + std::to_string(l.capacity) +
                          " steps \u2014 output will degrade");
    EXPECT_EQ(dec.filled(), std::min(l.steps, l.capacity));
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, V1Forward, ::testing::ValuesIn(kLayouts), [](const auto& info) {
  const Layout& l = info.param;
  return "h" + std::to_string(l.heads) + "kv" + std::to_string(l.kv_heads) + "d" + std::to_string(l.head_dim) +
         "act" + std::to_string(static_cast<int>(l.act)) + (l.ffn ? "ffn" : "") + "cap" + std::to_string(l.capacity);
});

TEST(V1ForwardPieces, Activations) {
  struct Case {
    Activation act;
    float a, b, want;
  } cases[] = {
      {Activation::Relu, 2.0f, 3.0f, 6.0f},     {Activation::Relu, -2.0f, 3.0f, 0.0f},
      {Activation::Relu, 2.0f, -3.0f, 0.0f},    {Activation::Relu, -2.0f, -3.0f, 0.0f},
      {Activation::SwiGlu, 0.0f, 5.0f, 0.0f},   {Activation::SwiGlu, 1.0f, 2.0f, 2.0f / (1.0f + std::exp(-1.0f))},
      {Activation::GeGlu, 0.0f, 5.0f, 0.0f},    {Activation::GeGlu, 10.0f, 1.0f, 10.0f},
      {Activation::GeGlu, -10.0f, 1.0f, -0.0f},
  };
  for (const Case& k : cases)
    EXPECT_NEAR(activate(k.act, k.a, k.b), k.want, 1e-6f) << static_cast<int>(k.act) << " " << k.a << " " << k.b;
}

TEST(V1ForwardPieces, EmbeddingIdsAreClampedToTheMatrix) {
  const V1Model m = rand_model(kLayouts[0], 3);
  const uint64_t d = m.config.d_model;
  std::vector<float> last(d), beyond(d);
  embed(m, static_cast<uint32_t>(m.config.vocab_size - 1), last);
  embed(m, static_cast<uint32_t>(m.config.vocab_size + 1000), beyond);
  EXPECT_EQ(last, beyond);
  EXPECT_FLOAT_EQ(last[0], m.embedding[(m.config.vocab_size - 1) * d] * std::sqrt(static_cast<float>(d)));
}

TEST(V1ForwardPieces, EncoderInputBeyondTheRotaryTablesIsRefused) {
  V1Model m = rand_model(kLayouts[0], 4);
  m.config.max_enc_len = 3;
  m.config.max_dec_len = 2;
  const std::vector<uint32_t> ids(4, 7);
  EXPECT_THROW(encode(m, ids), vorpel::Panic);
  EXPECT_EQ(encode(m, std::span(ids).first(3)).size(), 3 * m.config.d_model);
}

TEST(V1ForwardPieces, ContrastiveHead) {
  V1ContrastiveHead h;
  h.hidden = 2;
  h.dim = 3;
  h.hidden_kernel = {1, -1, 2, 0.5f};  // (d_model 2, H 2)
  h.hidden_bias = {0.5f, -4.0f};
  h.proj_kernel = {1, 2, 3, 4, 5, 6};  // (H 2, C 3)
  const std::vector<float> e = {1, 2, 3, 4};  // two rows of width 2: mean (2, 3)
  const auto p = mean_rows(e, 2, 2);
  ASSERT_EQ(p, (std::vector<float>{2, 3}));
  // hidden = relu(0.5 + 2*1 + 3*2, -4 + 2*-1 + 3*0.5) = (8.5, 0)
  EXPECT_EQ(contrastive_project(h, p), (std::vector<float>{8.5f, 17.0f, 25.5f}));
}

}  // namespace

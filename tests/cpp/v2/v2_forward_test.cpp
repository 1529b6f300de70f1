// Second-generation step and prompt pass: preconditions, attention windows
// against plain loops, engram hashing, and prefill against token-by-token
// stepping on random small models.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "../../../vorpel-core/src/v2/parts.hpp"
#include "v2/v2_builder.hpp"
#include "vorpel/core/cpu_features.hpp"
#include "vorpel/cq/cq_kernels.hpp"
#include "vorpel/v2/batch.hpp"
#include "vorpel/v2/bundle.hpp"
#include "vorpel/v2/forward.hpp"

using namespace v2test;
using vorpel::v2::V2Model;
using vorpel::v2::V2State;

namespace {

V2Model load(const Geo& g, uint32_t seed) {
  auto b = vorpel::v2::load_v2_bundle(make_container(g, seed).bytes());
  if (!b) throw std::runtime_error(vorpel::message(b.error()));
  return std::move(b->model);
}

float max_abs(const std::vector<float>& v) {
  float m = 0.0f;
  for (float x : v) m = std::max(m, std::abs(x));
  return m;
}

// Largest |a - b| must stay within rel * max(1, max |b|).
void expect_close(const std::vector<float>& a, const std::vector<float>& b, float rel, const std::string& what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  const float bound = rel * std::max(1.0f, max_abs(b));
  size_t worst = 0;
  float err = 0.0f;
  for (size_t i = 0; i < a.size(); ++i)
    if (!(std::abs(a[i] - b[i]) <= err)) {
      err = std::abs(a[i] - b[i]);
      worst = i;
    }
  EXPECT_LE(err, bound) << what << ": element " << worst << " got " << a[worst] << " want " << b[worst];
}

std::vector<uint32_t> random_tokens(size_t n, uint32_t vocab, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint32_t> t(n);
  for (auto& x : t) x = rng() % vocab;
  return t;
}

}  // namespace

TEST(V2Step, PreconditionsLeaveTheStateUnchanged) {
  Geo g;
  g.max_seq_len = 3;
  const V2Model m = load(g, 1);
  V2State s(m, 3, 0);
  std::vector<float> logits(g.vocab);
  std::vector<float> short_logits(g.vocab - 1);
  EXPECT_EQ(vorpel::v2::step(m, s, g.vocab, logits).error(), vorpel::v2::StepError::TokenOutsideVocab);
  EXPECT_EQ(vorpel::v2::step(m, s, 0, short_logits).error(), vorpel::v2::StepError::LogitsLength);
  EXPECT_EQ(s.position(), 0u);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(vorpel::v2::step(m, s, 1, logits));
  const auto lanes = std::vector<float>(s.lanes().begin(), s.lanes().end());
  // The position check comes first, even with a bad token and a short buffer.
  EXPECT_EQ(vorpel::v2::step(m, s, g.vocab, short_logits).error(), vorpel::v2::StepError::SequenceTooLong);
  EXPECT_EQ(s.position(), 3u);
  EXPECT_EQ(std::vector<float>(s.lanes().begin(), s.lanes().end()), lanes);

  struct Count : vorpel::v2::HiddenObserver {
    int n = 0;
    void observe(std::span<const float>) override { ++n; }
  } obs;
  V2State t(m, 3, 0);
  EXPECT_EQ(vorpel::v2::step_observed(m, t, g.vocab, obs).error(), vorpel::v2::StepError::TokenOutsideVocab);
  EXPECT_EQ(obs.n, 0);
  EXPECT_EQ(t.position(), 0u);
}

TEST(V2Step, GenerationCapacityRule) {
  Geo g;
  g.max_seq_len = 50;
  for (auto [window, capacity] : {std::pair{0u, 50u}, {4u, 4u}, {50u, 50u}, {51u, 50u}}) {
    g.kv_window = window;
    const V2Model m = load(g, 2);
    auto s = V2State::for_generation(m);
    EXPECT_EQ(s.capacity(), capacity) << window;
    EXPECT_EQ(s.window(), window);
  }
}

TEST(V2Step, ObserverSeesScaledEmbeddingThenLaneMeans) {
  Geo g;
  g.sites = {0};
  const V2Model m = load(g, 3);
  struct Keep : vorpel::v2::HiddenObserver {
    std::vector<std::vector<float>> seen;
    void observe(std::span<const float> v) override { seen.emplace_back(v.begin(), v.end()); }
  } obs;
  V2State s(m, 10, 0);
  ASSERT_TRUE(vorpel::v2::step_observed(m, s, 5, obs));
  ASSERT_EQ(obs.seen.size(), g.num_layers + 1);
  std::vector<float> row(g.d_model);
  vorpel::cq::dequantize_row(m.embedding, 5, row);
  for (float& x : row) x *= std::sqrt(static_cast<float>(g.d_model));
  EXPECT_EQ(obs.seen[0], row);
  std::vector<float> mean(g.d_model, 0.0f);
  for (uint32_t k = 0; k < g.mhc_lanes; ++k)
    for (uint32_t i = 0; i < g.d_model; ++i) mean[i] += s.lanes()[k * g.d_model + i] / g.mhc_lanes;
  expect_close(obs.seen.back(), mean, 1e-6f, "last lane mean");
  // Same lanes as the logits step.
  V2State t(m, 10, 0);
  std::vector<float> logits(g.vocab);
  ASSERT_TRUE(vorpel::v2::step(m, t, 5, logits));
  EXPECT_EQ(std::vector<float>(s.lanes().begin(), s.lanes().end()),
            std::vector<float>(t.lanes().begin(), t.lanes().end()));
}

TEST(V2Attention, WindowArithmetic) {
  using vorpel::v2::parts::attended;
  EXPECT_EQ(attended(0, 0), 1u);
  EXPECT_EQ(attended(0, 9), 10u);
  EXPECT_EQ(attended(4, 2), 3u);
  EXPECT_EQ(attended(4, 3), 4u);
  EXPECT_EQ(attended(4, 10), 4u);
  EXPECT_EQ(attended(1, 10), 1u);
}

// attend() against a plain loop over the positions of the window, with slots
// outside the window poisoned so that a wrong slot shows.
TEST(V2Attention, MatchesPlainLoopOverTheWindow) {
  Geo g;  // 4 query heads over 2 kv heads, head_dim 6
  const V2Model m = load(g, 4);
  const uint64_t hd = g.head_dim, kvd = g.num_kv_heads * hd, qd = g.num_heads * hd;
  for (auto [capacity, window, p] : {std::tuple{6u, 4u, 10u}, {4u, 4u, 10u}, {16u, 0u, 0u}, {16u, 0u, 9u}, {5u, 5u, 3u}, {3u, 0u, 7u}, {7u, 0u, 40u}}) {
    const uint32_t seed = capacity * 100 + window * 10 + p;
    std::mt19937 rng(seed);
    std::vector<float> kc = randn(capacity * kvd, 1.0f, rng), vc = randn(capacity * kvd, 1.0f, rng);
    const uint64_t n = vorpel::v2::parts::attended(window, p), first = p + 1 - n;
    std::vector<bool> used(capacity, false);
    for (uint64_t q = first; q <= p; ++q) used[q % capacity] = true;
    for (uint64_t sl = 0; sl < capacity; ++sl)
      if (!used[sl])
        for (uint64_t i = 0; i < kvd; ++i) vc[sl * kvd + i] = 1e6f;
    std::vector<float> q = randn(qd, 1.0f, rng), o(qd), scores(n * g.num_heads);
    vorpel::ops::KvView kv;  // slot-major rows, as laid out above
    kv.k = kc.data();
    kv.v = vc.data();
    kv.slots = capacity;
    kv.kv_heads = g.num_kv_heads;
    kv.k_width = kv.v_width = hd;
    vorpel::v2::parts::attend(m, kv, window, p, q.data(), o.data(), 0, g.num_heads, scores.data());
    std::vector<float> want(qd, 0.0f);
    for (uint64_t h = 0; h < g.num_heads; ++h) {
      const uint64_t kvh = h / (g.num_heads / g.num_kv_heads);
      std::vector<double> w;
      double mx = -1e300, sum = 0;
      for (uint64_t pos = first; pos <= p; ++pos) {
        double sc = 0;
        for (uint64_t i = 0; i < hd; ++i) sc += double(q[h * hd + i]) * kc[(pos % capacity) * kvd + kvh * hd + i];
        w.push_back(sc / std::sqrt(double(hd)));
        mx = std::max(mx, w.back());
      }
      for (double& x : w) sum += (x = std::exp(x - mx));
      for (uint64_t k = 0; k < w.size(); ++k)
        for (uint64_t i = 0; i < hd; ++i)
          want[h * hd + i] += float(w[k] / sum * vc[((first + k) % capacity) * kvd + kvh * hd + i]);
    }
    expect_close(o, want, 1e-5f, "seed " + std::to_string(seed));
    if (n == 1) {  // a single attended position has weight exactly 1
      for (uint64_t h = 0; h < g.num_heads; ++h)
        for (uint64_t i = 0; i < hd; ++i) EXPECT_EQ(o[h * hd + i], vc[(p % capacity) * kvd + (h / 2) * hd + i]);
    }
  }
}

TEST(V2Engram, FetchHashesTheNgramAndWaitsForIt) {
  Geo g;
  g.sites = {0};
  g.orders = {0, 3};  // table 0: order 0 (always), table 1: order 3
  const V2Model m = load(g, 5);
  const auto& e = m.engrams[0];
  const uint32_t hist[] = {7, 3, 9, 4};
  auto plain_row = [&](uint64_t k, uint64_t n, uint64_t p) {
    uint32_t h = static_cast<uint32_t>(k + 1) * 0x9E3779B9u;
    for (uint64_t i = 0; i < n; ++i) {
      if (p >= i) h ^= hist[p - i];
      h *= 16777619u;
    }
    return k * g.table_rows + (h ^ (h >> 15)) % g.table_rows;
  };
  std::vector<float> f(g.d_model), want(g.sub_dim), buf(e.tables.padded_cols());
  for (uint64_t p = 0; p < 4; ++p) {
    vorpel::v2::parts::engram_fetch(m, e, hist, p, f.data(), buf.data());
    vorpel::cq::dequantize_row(e.tables, plain_row(0, 0, p), want);
    EXPECT_EQ(std::vector<float>(f.begin(), f.begin() + g.sub_dim), want) << p;
    const std::vector<float> second(f.begin() + g.sub_dim, f.end());
    if (p < 2) {
      EXPECT_EQ(second, std::vector<float>(g.sub_dim, 0.0f)) << p;
    } else {
      vorpel::cq::dequantize_row(e.tables, plain_row(1, 3, p), want);
      EXPECT_EQ(second, want) << p;
    }
  }
}

struct PrefillCase {
  Geo g;
  size_t length;
  std::string what;
};

std::vector<PrefillCase> prefill_cases() {
  std::vector<PrefillCase> out;
  Geo a;
  out.push_back({a, 1, "default, 1 token"});
  out.push_back({a, 129, "default, 129 tokens"});
  Geo b;
  b.mhc_lanes = 3;
  b.sites = {0, 1};
  b.orders = {1, 2};
  b.kv_window = 3;
  b.block = 16;
  out.push_back({b, 140, "3 lanes, two sites, window 3 (capacity below the chunk)"});
  Geo c;
  c.mhc_lanes = 1;
  c.sites = {1};
  c.kv_window = 130;
  c.bits = 3;
  out.push_back({c, 270, "1 lane, window 130, 3-bit"});
  Geo d;
  d.bits = 5;
  d.num_kv_heads = 1;
  d.d_model = 16;
  d.sub_dim = 8;
  d.tap_stride = 1;
  d.sites = {0};
  out.push_back({d, 40, "ternary, one kv head, d_model = hada_n"});
  Geo e;
  e.head_dim = 16;
  e.num_heads = 6;
  e.num_kv_heads = 2;
  e.kv_window = 100;
  out.push_back({e, 150, "groups of 3 query heads, head_dim 16, window 100"});
  return out;
}

TEST(V2Prefill, MatchesSteppingOnRandomModels) {
  uint32_t seed = 10;
  for (const PrefillCase& k : prefill_cases()) {
    ++seed;
    const std::string what = k.what + " (seed " + std::to_string(seed) + ")";
    const V2Model m = load(k.g, seed);
    const auto tokens = random_tokens(k.length, k.g.vocab, seed);
    auto stepped = V2State::for_generation(m);
    std::vector<float> want(k.g.vocab), got(k.g.vocab, -1.0f);
    for (uint32_t t : tokens) ASSERT_TRUE(vorpel::v2::step(m, stepped, t, want)) << what;
    auto pre = V2State::for_generation(m);
    int polls = 0;
    ASSERT_TRUE(vorpel::v2::prefill(m, pre, tokens, std::span<float>(got), [&] { ++polls; })) << what;
    EXPECT_EQ(polls, static_cast<int>((k.length + 127) / 128) - 1) << what;
    expect_close(got, want, 1e-4f, "logits " + what);
    EXPECT_EQ(pre.position(), stepped.position()) << what;
    EXPECT_TRUE(std::equal(pre.tokens().begin(), pre.tokens().end(), stepped.tokens().begin(), stepped.tokens().end()));
    expect_close({pre.lanes().begin(), pre.lanes().end()}, {stepped.lanes().begin(), stepped.lanes().end()}, 1e-4f,
                 "lanes " + what);
    for (size_t l = 0; l < m.layers.size(); ++l) {
      expect_close(pre.k_cache_[l], stepped.k_cache_[l], 1e-4f, "key cache " + what);
      expect_close(pre.v_cache_[l], stepped.v_cache_[l], 1e-4f, "value cache " + what);
    }
    for (size_t s = 0; s < m.engrams.size(); ++s) {
      expect_close(pre.rings_[s], stepped.rings_[s], 1e-4f, "engram ring " + what);
      EXPECT_NEAR(pre.engram_gate(s), stepped.engram_gate(s), 1e-5f) << what;
    }

    // Split in two calls, the first without logits, then one more step: the same as stepping.
    auto split = V2State::for_generation(m);
    const size_t cut = k.length / 2;
    const std::span<const uint32_t> all(tokens);
    ASSERT_TRUE(vorpel::v2::prefill(m, split, all.first(cut), std::nullopt)) << what;
    ASSERT_TRUE(vorpel::v2::prefill(m, split, all.subspan(cut), std::span<float>(got))) << what;
    expect_close(got, want, 1e-4f, "split logits " + what);
    ASSERT_TRUE(vorpel::v2::step(m, split, 3, got));
    ASSERT_TRUE(vorpel::v2::step(m, stepped, 3, want));
    expect_close(got, want, 1e-4f, "step after prefill " + what);
  }
}

TEST(V2Prefill, PreconditionsAndLimits) {
  Geo g;
  g.max_seq_len = 12;
  const V2Model m = load(g, 20);
  V2State s(m, 12, 0);
  std::vector<float> logits(g.vocab, 7.0f);
  ASSERT_TRUE(vorpel::v2::prefill(m, s, random_tokens(10, g.vocab, 1), std::nullopt));
  ASSERT_EQ(s.position(), 10u);
  EXPECT_EQ(vorpel::v2::prefill(m, s, random_tokens(3, g.vocab, 2), std::span<float>(logits)).error(),
            vorpel::v2::StepError::SequenceTooLong);
  EXPECT_EQ(s.position(), 10u);
  const std::vector<uint32_t> bad{1, g.vocab};
  EXPECT_EQ(vorpel::v2::prefill(m, s, bad, std::span<float>(logits)).error(), vorpel::v2::StepError::TokenOutsideVocab);
  std::vector<float> short_logits(g.vocab + 1);
  EXPECT_EQ(vorpel::v2::prefill(m, s, std::span<const uint32_t>(bad).first(1), std::span<float>(short_logits)).error(),
            vorpel::v2::StepError::LogitsLength);
  EXPECT_EQ(s.position(), 10u);
  // Nothing to do: state and buffer untouched.
  ASSERT_TRUE(vorpel::v2::prefill(m, s, {}, std::span<float>(short_logits)));
  EXPECT_EQ(logits, std::vector<float>(g.vocab, 7.0f));
  ASSERT_TRUE(vorpel::v2::prefill(m, s, random_tokens(2, g.vocab, 3), std::span<float>(logits)));
  EXPECT_EQ(s.position(), 12u);
  EXPECT_NE(logits, std::vector<float>(g.vocab, 7.0f));
}

TEST(V2State, ResetGivesAFreshSequence) {
  Geo g;
  g.sites = {1};
  g.kv_window = 5;
  const V2Model m = load(g, 21);
  const auto tokens = random_tokens(9, g.vocab, 4);
  auto fresh = V2State::for_generation(m);
  auto reused = V2State::for_generation(m);
  std::vector<float> a(g.vocab), b(g.vocab);
  ASSERT_TRUE(vorpel::v2::prefill(m, reused, random_tokens(30, g.vocab, 5), std::nullopt));
  reused.reset();
  EXPECT_EQ(reused.position(), 0u);
  for (uint32_t t : tokens) {
    ASSERT_TRUE(vorpel::v2::step(m, fresh, t, a));
    ASSERT_TRUE(vorpel::v2::step(m, reused, t, b));
  }
  EXPECT_EQ(a, b);
}

// A state whose ring is narrower than its window (here: no window at all)
// reads every attended position modulo the capacity; prefill must agree.
TEST(V2Prefill, RingNarrowerThanTheWindow) {
  Geo g;
  g.sites = {0};
  const V2Model m = load(g, 22);
  const auto tokens = random_tokens(20, g.vocab, 6);
  for (auto [capacity, window] : {std::pair{5u, 0u}, {3u, 7u}}) {
    V2State a(m, capacity, window), b(m, capacity, window);
    std::vector<float> want(g.vocab), got(g.vocab);
    for (uint32_t t : tokens) ASSERT_TRUE(vorpel::v2::step(m, a, t, want));
    ASSERT_TRUE(vorpel::v2::prefill(m, b, tokens, std::span<float>(got)));
    expect_close(got, want, 1e-4f, "capacity " + std::to_string(capacity) + " window " + std::to_string(window));
  }
}

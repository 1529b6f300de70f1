// Third-generation pieces against their definitions: the ladder, the int8
// rounding, session slots, visibility and cache sizes, the engram hash and
// the Kronecker mix against plain loops, and the loader's bound on the block count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "trov/trov_builder.hpp"
#include "vorpel/engine/load_error.hpp"
#include "vorpel/v3/forward.hpp"
#include "vorpel/v3/loader.hpp"
#include "vorpel/v3/model.hpp"
#include "vorpel/v3/session.hpp"

namespace vorpel::v3 {
namespace {

TEST(Ladder, OrdersAndRungs) {
  EXPECT_EQ(ladder_order(12), (std::vector<uint64_t>{0, 11, 5, 8, 2, 3, 6, 9, 1, 4, 7, 10}));
  EXPECT_EQ(ladder_order(6), (std::vector<uint64_t>{0, 5, 2, 3, 1, 4}));
  EXPECT_EQ(ladder_order(1), (std::vector<uint64_t>{0}));
  EXPECT_EQ(*ladder_blocks(12, 2), (std::vector<uint64_t>{0, 11}));
  EXPECT_EQ(*ladder_blocks(12, 4), (std::vector<uint64_t>{0, 5, 8, 11}));
  EXPECT_EQ(*ladder_blocks(12, 6), (std::vector<uint64_t>{0, 2, 3, 5, 8, 11}));
  for (uint64_t d : {0u, 1u, 13u}) EXPECT_FALSE(ladder_blocks(12, d)) << d;
  // Against the rule as written (rescan the sorted set for the widest gap),
  // every prefix too; every ladder lists each block once.
  auto rescan = [](uint64_t n) {
    std::vector<uint64_t> order{0}, set{0};
    if (n > 1) order.push_back(n - 1), set.push_back(n - 1);
    while (order.size() < n) {
      std::sort(set.begin(), set.end());
      uint64_t gap = 0, a = 0;
      for (size_t k = 0; k + 1 < set.size(); ++k)
        if (set[k + 1] - set[k] >= 2 && set[k + 1] - set[k] > gap) gap = set[k + 1] - set[k], a = set[k];
      if (gap == 0) break;
      order.push_back(a + gap / 2);
      set.push_back(a + gap / 2);
    }
    return order;
  };
  for (uint64_t n = 1; n < 70; ++n) {
    const std::vector<uint64_t> want = rescan(n);
    ASSERT_EQ(ladder_order(n), want) << "n " << n;
    for (uint64_t d = 0; d <= n + 1; ++d)
      ASSERT_EQ(ladder_order(n, d), std::vector<uint64_t>(want.begin(), want.begin() + std::min(d, n))) << n << " " << d;
    std::vector<uint64_t> o = want;
    std::sort(o.begin(), o.end());
    for (uint64_t k = 0; k < n; ++k) ASSERT_EQ(o.at(k), k) << "n " << n;
  }
  // A short rung of a huge block count costs only its own length.
  EXPECT_EQ(*ladder_blocks(0xffffffffu, 4), (std::vector<uint64_t>{0, 0x3fffffffu, 0x7fffffffu, 0xfffffffeu}));
}

// A header that claims 2^32 - 1 blocks over a three-tensor directory (found by
// v3_model_fuzz): the full model and every rung stop at the canon length
// instead of listing the blocks, and the depth is still judged first.
TEST(Load, BlockCountBeyondTheDirectory) {
  trov_test::ImageBuilder b(true);
  const uint32_t words[][2] = {{20, 373}, {28, 32}, {32, 6}, {36, 3}, {40, 0xffffffffu}, {44, 8}, {48, 8},
                               {52, 512}, {56, 32}, {60, 4}, {84, 2},  {88, 12},  {104, 3}, {108, 2}, {116, 3}};
  for (auto& w : words) b.put32(w[0], w[1]);
  for (int t = 0; t < 3; ++t) b.add_f32({1, 2}, {2});
  const std::vector<uint8_t> bytes = b.build();
  const std::string canon = "canon needs at least 103079215093 tensors, directory has 3";
  const std::pair<std::optional<uint64_t>, std::string> cases[] = {
      {std::nullopt, canon},       {5, canon},  {0xffffffffu, canon}, {0xfffffffeu, canon},
      {1, "depth is outside the ladder"}, {0x100000000u, "depth is outside the ladder"},
  };
  for (const auto& [depth, want] : cases) {
    auto r = load_v3(bytes, depth);
    ASSERT_FALSE(r) << depth.value_or(0);
    EXPECT_EQ(vorpel::message(r.error()), want) << depth.value_or(0);
  }
}

TEST(Int8, RoundingScalesAndNan) {
  struct Case {
    std::vector<float> x;
    std::vector<int8_t> q;
    float scale;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Case cases[] = {
      {{0, 0, 0}, {0, 0, 0}, 1.0f},
      {{127, -63.5f, 0.5f, -127}, {127, -64, 1, -127}, 1.0f},  // halves away from zero
      {{2.54f, 1.27f, -0.01f}, {127, 64, -1}, 2.54f / 127},
      {{nan, 3.0f, -1.5f}, {0, 127, -64}, 3.0f / 127},  // NaN ignored for the max, stored as 0
  };
  for (const Case& c : cases) {
    std::vector<int8_t> q(c.x.size());
    float s = 0;
    quantize_int8(c.x.data(), c.x.size(), q.data(), &s);
    EXPECT_EQ(q, c.q);
    EXPECT_FLOAT_EQ(s, c.scale);
  }
  // The largest magnitude always lands on +-127 exactly.
  std::mt19937 rng(4);
  std::normal_distribution<float> nd(0, 3);
  for (int t = 0; t < 200; ++t) {
    std::vector<float> x(1 + t % 37);
    for (auto& v : x) v = nd(rng);
    std::vector<int8_t> q(x.size());
    float s = 0;
    quantize_int8(x.data(), x.size(), q.data(), &s);
    size_t at = 0;
    for (size_t i = 1; i < x.size(); ++i)
      if (std::abs(x[i]) > std::abs(x[at])) at = i;
    EXPECT_EQ(std::abs(int(q[at])), 127) << t;
    for (size_t i = 0; i < x.size(); ++i) EXPECT_LE(std::abs(q[i] * s - x[i]), s / 2 * (1 + 1e-5f)) << t;
  }
}

// A model with only the geometry and the block flags the session and kv_bytes read.
V3Model shell(uint64_t blocks, std::vector<bool> global, uint64_t window, uint64_t max_seq = 1000) {
  V3Model m;
  V3Geometry& g = m.geom;
  g.num_kv_heads = 2;
  g.head_dim = 64;
  g.value_dim = 64;
  g.kv_window = window;
  g.max_seq_len = max_seq;
  g.num_layers = blocks;
  m.blocks.resize(blocks);
  for (uint64_t b = 0; b < blocks; ++b) m.blocks[b].global = global[b];
  return m;
}

TEST(Session, KvBytesFigures) {
  const V3Model all_global = shell(3, {true, true, true}, 128);
  const auto f32 = [&](const V3Model& m, uint64_t n) { return uint64_t(*kv_bytes(m.geom, m.blocks, n, false)); };
  const auto i8 = [&](const V3Model& m, uint64_t n) { return uint64_t(*kv_bytes(m.geom, m.blocks, n, true)); };
  EXPECT_EQ(f32(all_global, 0), 0u);
  EXPECT_EQ(f32(all_global, 10), 3u * 10 * 4 * 2 * 128);
  EXPECT_EQ(f32(all_global, 20), 2 * f32(all_global, 10));  // linear without local blocks
  // int8: one byte per element plus two f32 scales per head vector: 136/512 of f32.
  EXPECT_EQ(i8(all_global, 1000) * 512, f32(all_global, 1000) * 136);
  // Window 128, seq_len 1000: local blocks count 128 positions, global ones 1000.
  const V3Model mixed = shell(3, {false, true, false}, 128);
  EXPECT_EQ(f32(mixed, 1000), (128u + 1000u + 128u) * 4 * 2 * 128);
  // A window wider than the context is no window; seq_len is never clamped.
  const V3Model wide = shell(2, {false, false}, 5000);
  EXPECT_EQ(f32(wide, 3000), 2u * 3000 * 1024);
  // Huge seq_len: exact, never wrapped.
  const unsigned __int128 big = *kv_bytes(mixed.geom, mixed.blocks, UINT64_MAX, false);
  EXPECT_EQ(big, (static_cast<unsigned __int128>(UINT64_MAX) + 256) * 1024);
}

TEST(Session, SlotsGrowByDoublingAndLocalBlocksWrap) {
  V3Model m = shell(2, {true, false}, 4, 100);
  V3Session s(m, 0, false);  // a zero request still gives one position
  EXPECT_EQ(s.capacity(), 1u);
  EXPECT_EQ(s.layer(0).allocated, 1u);
  std::vector<float> k(2 * 64), v(2 * 64);
  for (uint64_t p = 0; p < 10; ++p) {
    std::fill(k.begin(), k.begin() + 64, float(p));
    std::fill(k.begin() + 64, k.end(), float(100 + p));
    s.store(0, p, k.data(), v.data());
    s.store(1, p, k.data(), v.data());
  }
  // Global: grew 1 -> 2 -> 4 -> 8 -> 16, every position of either head kept in slot p.
  EXPECT_EQ(s.layer(0).allocated, 16u);
  for (uint64_t p = 0; p < 10; ++p) {
    EXPECT_EQ(s.layer(0).k[p * 64], float(p));
    EXPECT_EQ(s.layer(0).k[(16 + p) * 64 + 63], float(100 + p));
  }
  EXPECT_EQ(s.visible_start(0, 9), 0u);
  // Local: limit = window 4, a ring holding the last four positions.
  EXPECT_EQ(s.layer(1).allocated, 4u);
  for (uint64_t p = 6; p < 10; ++p) {
    EXPECT_EQ(s.layer(1).k[(p % 4) * 64], float(p));
    EXPECT_EQ(s.layer(1).k[(4 + p % 4) * 64], float(100 + p));
  }
  EXPECT_EQ(s.visible_start(1, 9), 6u);
  EXPECT_EQ(s.visible_start(1, 2), 0u);
  // A window above max_seq_len is no window.
  V3Model wide = shell(1, {false}, 500, 100);
  V3Session w(wide, 50, true);
  EXPECT_EQ(w.layer(0).limit, 100u);
  EXPECT_EQ(w.layer(0).k_scale.size(), w.layer(0).allocated * 2);
  EXPECT_EQ(w.layer(0).k_scale[0], 1.0f);
}

TEST(Engram, HashSeedsAndOrders) {
  V3Geometry g;
  g.table_rows = 1u << 31;  // large modulus: the raw mix shows
  g.orders = {0, 1, 3};
  g.tables_per_order = 2;
  const std::vector<uint32_t> toks{7, 1000, 3, 42};
  auto mix = [](uint32_t h) { return uint64_t((h ^ (h >> 15)) % (1u << 31)); };
  auto seed = [&](uint64_t o, uint64_t j, uint64_t stride) { return uint32_t(0x9E3779B9u * uint32_t(o * stride + j + 1)); };
  for (uint64_t stride : {0u, 5u}) {
    g.engram_seed_stride = stride;
    const uint64_t S = stride ? stride : 2;
    // Order 0: one fixed row whatever the position.
    EXPECT_EQ(detail::engram_index(g, toks, 0, 0, 1), mix(seed(0, 1, S)));
    EXPECT_EQ(detail::engram_index(g, toks, 3, 0, 1), mix(seed(0, 1, S)));
    // Order 1: (seed ^ tok[t]) * prime.
    EXPECT_EQ(detail::engram_index(g, toks, 2, 1, 0), mix((seed(1, 0, S) ^ 3u) * 16777619u));
    // Order 3 at t = 3: tokens 3, 2, 1 folded in, one multiply per round.
    uint32_t h = seed(2, 1, S);
    for (uint64_t m = 0; m < 3; ++m) h = (h ^ toks[3 - m]) * 16777619u;
    EXPECT_EQ(detail::engram_index(g, toks, 3, 2, 1), mix(h));
  }
}

TEST(Ffn, KroneckerMixMatchesPlainLoopsAndSkipsExactZeros) {
  std::mt19937 rng(9);
  std::normal_distribution<float> nd;
  for (auto [P, Q] : {std::pair<uint64_t, uint64_t>{1, 1}, {2, 2}, {2, 4}, {4, 8}, {16, 32}, {3, 5}}) {
    std::vector<float> a(P * P), b(Q * Q), z(P * Q), y(P * Q), work(P * Q);
    for (auto* v : {&a, &b, &z})
      for (auto& x : *v) x = nd(rng);
    a[0] = 0.0f;
    z[0] = std::numeric_limits<float>::infinity();  // only ever multiplied by the zero A[0][0]... and B
    detail::kron_mix(a.data(), P, b.data(), Q, z.data(), y.data(), work.data());
    for (uint64_t h = 0; h < P; ++h)
      for (uint64_t j = 0; j < Q; ++j) {
        double want = 0, mag = 0;
        for (uint64_t i = 0; i < P; ++i) {
          if (a[i * P + h] == 0.0f) continue;
          for (uint64_t l = 0; l < Q; ++l) {
            const double t = double(a[i * P + h]) * z[i * Q + l] * b[l * Q + j];
            want += t;
            mag += std::abs(t);
          }
        }
        if (std::isinf(want) || std::isnan(want)) {
          EXPECT_FALSE(std::isfinite(y[h * Q + j]));
        } else {
          EXPECT_NEAR(y[h * Q + j], want, 1e-5 * (mag + 1)) << P << "x" << Q << " at " << h << "," << j;
        }
      }
  }
}

}  // namespace
}  // namespace vorpel::v3

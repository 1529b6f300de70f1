// Generation-neutral kernels against plain double-precision loops at every
// instruction-set level: softmax fallbacks, gates, Sinkhorn, attention over a
// cache view (f32 and int8 rows, ring runs, grouped heads, SIMD tails) and the
// rotary tables.
#include <gtest/gtest.h>

#include <bit>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "simd_levels.hpp"
#include "vorpel/ops/attention.hpp"
#include "vorpel/ops/rope.hpp"
#include "vorpel/ops/vector_ops.hpp"

namespace {

std::vector<float> randn(size_t n, float scale, std::mt19937& rng) {
  std::normal_distribution<float> d(0.0f, scale);
  std::vector<float> v(n);
  for (auto& x : v) x = d(rng);
  return v;
}

// A cache of `slots` slots with kv_heads heads, f32 or int8 rows, slot-major
// (head_rows 0) or head-major with head_rows rows per head; key()/val() are
// what each stored row reads back as (byte * scale for int8).
struct Cache {
  uint64_t slots, kv_heads, kw, vw, head_rows;
  bool int8;
  std::vector<float> k, v, ks, vs;
  std::vector<int8_t> k8, v8;

  Cache(uint64_t slots_, uint64_t kv_heads_, uint64_t kw_, uint64_t vw_, bool int8_, std::mt19937& rng,
        uint64_t head_rows_ = 0)
      : slots(slots_), kv_heads(kv_heads_), kw(kw_), vw(vw_), head_rows(head_rows_), int8(int8_) {
    const uint64_t rows = kv_heads * (head_rows ? head_rows : slots);
    k = randn(rows * kw, 1.0f, rng);
    v = randn(rows * vw, 1.0f, rng);
    if (int8) {
      std::uniform_int_distribution<int> b(-128, 127);
      std::uniform_real_distribution<float> sc(0.001f, 0.03f);
      k8.resize(k.size());
      v8.resize(v.size());
      for (auto& x : k8) x = static_cast<int8_t>(b(rng));
      for (auto& x : v8) x = static_cast<int8_t>(b(rng));
      ks.resize(rows);
      vs.resize(rows);
      for (auto& x : ks) x = sc(rng);
      for (auto& x : vs) x = sc(rng);
      for (size_t i = 0; i < k.size(); ++i) k[i] = float(k8[i]) * ks[i / kw];
      for (size_t i = 0; i < v.size(); ++i) v[i] = float(v8[i]) * vs[i / vw];
    }
  }
  vorpel::ops::KvView view() const {
    vorpel::ops::KvView kv;
    if (int8) {
      kv.k8 = k8.data();
      kv.v8 = v8.data();
      kv.k_scale = ks.data();
      kv.v_scale = vs.data();
    } else {
      kv.k = k.data();
      kv.v = v.data();
    }
    kv.slots = slots;
    kv.kv_heads = kv_heads;
    kv.k_width = kw;
    kv.v_width = vw;
    kv.head_rows = head_rows;
    return kv;
  }
  // Written out here rather than taken from KvView::row, so that a wrong row map shows.
  uint64_t row(uint64_t slot, uint64_t h) const { return head_rows ? h * head_rows + slot : slot * kv_heads + h; }
  double key(uint64_t slot, uint64_t h, uint64_t c) const { return k[row(slot, h) * kw + c]; }
  double val(uint64_t slot, uint64_t h, uint64_t c) const { return v[row(slot, h) * vw + c]; }
};

}  // namespace

TEST(Ops, SoftmaxFallbacksAndSinkhorn) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> a{-inf, -inf, -inf, -inf};
  vorpel::ops::softmax_uniform_fallback(a);
  EXPECT_EQ(a, (std::vector<float>{0.25f, 0.25f, 0.25f, 0.25f}));
  std::vector<float> b{nan, nan};
  vorpel::ops::softmax_uniform_fallback(b);
  EXPECT_EQ(b, (std::vector<float>{0.5f, 0.5f}));
  std::vector<float> c{0.0f, std::log(3.0f)};
  vorpel::ops::softmax_uniform_fallback(c);
  EXPECT_NEAR(c[0], 0.25f, 1e-7f);
  EXPECT_NEAR(c[1], 0.75f, 1e-7f);

  // Against double precision across the vector/tail boundaries.
  for (size_t n : {1u, 7u, 15u, 16u, 17u, 33u, 255u, 257u}) {
    std::mt19937 rng(static_cast<uint32_t>(n));
    std::vector<float> sc = randn(n, 30.0f, rng);
    double mx = -1e300, sum = 0;
    for (float x : sc) mx = std::max(mx, double(x));
    std::vector<double> ref(n), arg(n);
    for (size_t i = 0; i < n; ++i) sum += (ref[i] = std::exp(arg[i] = double(sc[i]) - mx));
    vorpel::ops::softmax_uniform_fallback(sc);
    // f32 exp of a rounded argument: relative error grows with |argument|.
    for (size_t i = 0; i < n; ++i)
      EXPECT_NEAR(sc[i], ref[i] / sum, (std::abs(arg[i]) + 8) * 2.4e-7 * (ref[i] / sum) + 1e-37) << n << " " << i;
  }
  std::vector<float> mixed(20, 1.0f);
  mixed[3] = nan;  // a NaN score poisons the sum, as plain exp would
  vorpel::ops::softmax_uniform_fallback(mixed);
  EXPECT_TRUE(std::isnan(mixed[0]));

  const float v[] = {nan, 1.0f, 0.0f};
  EXPECT_TRUE(std::isnan(vorpel::ops::log_sum_exp(v, 3, 1)));  // NaN is skipped for the max only
  const float w[] = {-inf, -inf};
  EXPECT_EQ(vorpel::ops::log_sum_exp(w, 2, 1), -inf);
  const float x[] = {nan};
  EXPECT_EQ(vorpel::ops::log_sum_exp(x, 1, 1), -inf);
  const float y[] = {1.0f, 2.0f, 3.0f};
  EXPECT_NEAR(vorpel::ops::log_sum_exp(y, 3, 1), std::log(std::exp(1.0) + std::exp(2.0) + std::exp(3.0)), 1e-6);

  std::vector<float> one{-3.7f};
  vorpel::ops::sinkhorn_log(one, 1, 20);
  EXPECT_EQ(one[0], 1.0f);
  for (uint32_t seed = 0; seed < 5; ++seed) {
    std::mt19937 rng(seed);
    const uint64_t L = 2 + seed;
    std::vector<float> r = randn(L * L, 2.0f, rng);
    vorpel::ops::sinkhorn_log(r, L, 20);
    for (uint64_t i = 0; i < L; ++i) {
      double row = 0, col = 0;
      for (uint64_t k = 0; k < L; ++k) {
        row += r[i * L + k];
        col += r[k * L + i];
      }
      EXPECT_NEAR(col, 1.0, 1e-5) << "seed " << seed;
      EXPECT_NEAR(row, 1.0, 1e-3) << "seed " << seed;
    }
  }
}

// The score and weighted-sum kernels against plain loops, across query-group
// sizes, head widths (SIMD tails), row counts (tile tails) and both row types;
// the kv head read is not the first, so a wrong head offset or stride shows.
TEST(Ops, AttentionKernelsBothRowTypes) {
  for (auto level : simdtest::levels()) {
    simdtest::LevelGuard guard(level);
    for (bool int8 : {false, true})
      for (uint64_t G : {1u, 2u, 3u, 4u, 5u, 9u})
        for (uint64_t hd : {2u, 6u, 8u, 15u, 16u, 17u, 24u, 40u, 64u, 72u, 136u})
          for (uint64_t n : {1u, 2u, 3u, 5u, 17u, 41u}) {
            const uint32_t seed = static_cast<uint32_t>(G * 100000 + hd * 100 + n) + 7u * static_cast<uint32_t>(level) +
                                  (int8 ? 3u : 0u);
            std::mt19937 rng(seed);
            const uint64_t vw = hd + 3;  // values wider than keys
            // Head-major with spare rows per head on odd seeds, slot-major otherwise.
            Cache c(n + 2, 3, hd, vw, int8, rng, seed % 2 ? n + 5 : 0);
            const auto kv = c.view();
            const uint64_t head = 1, slot = 1;
            std::vector<float> q = randn(G * hd, 1.0f, rng), w = randn(G * (n + 1), 1.0f, rng);
            std::vector<float> scores(G * (n + 1), -7.0f), out = randn(G * vw, 1.0f, rng);
            const std::vector<float> out0 = out;
            vorpel::ops::attention_scores(kv, head, slot, q.data(), G, n, 3.0f, scores.data(), n + 1);
            vorpel::ops::attention_accumulate(kv, head, slot, w.data(), n + 1, G, n, out.data());
            for (uint64_t g = 0; g < G; ++g) {
              for (uint64_t i = 0; i < n; ++i) {
                double s = 0, mag = 0;
                for (uint64_t x = 0; x < hd; ++x) {
                  s += double(q[g * hd + x]) * c.key(slot + i, head, x);
                  mag += std::abs(double(q[g * hd + x]) * c.key(slot + i, head, x));
                }
                EXPECT_NEAR(scores[g * (n + 1) + i], s / 3.0, (int8 ? 8 : 4) * 6e-8 * mag + 1e-7) << "seed " << seed;
              }
              EXPECT_EQ(scores[g * (n + 1) + n], -7.0f) << "seed " << seed;  // past the rows: untouched
              for (uint64_t x = 0; x < vw; ++x) {
                double a = out0[g * vw + x], mag = std::abs(a);
                for (uint64_t i = 0; i < n; ++i) {
                  a += double(w[g * (n + 1) + i]) * c.val(slot + i, head, x);
                  mag += std::abs(double(w[g * (n + 1) + i]) * c.val(slot + i, head, x));
                }
                // Sequential sums round once per term; int8 rows add two more
                // roundings per term (weight * scale, byte * scale).
                EXPECT_NEAR(out[g * vw + x], a, (n + (int8 ? 6 : 2)) * 6e-8 * mag + 1e-7) << "seed " << seed;
              }
            }
          }
  }
}

// attend() over a ring: positions first..first+n-1 wrap around the slots;
// slots outside the span hold poison that would show in any output.
TEST(Ops, AttendOverRingRunsMatchesPlainSoftmax) {
  for (auto level : simdtest::levels()) {
    simdtest::LevelGuard guard(level);
    for (bool int8 : {false, true})
      for (auto [slots, first, n, heads, kvh] : {std::tuple<uint64_t, uint64_t, uint64_t, uint64_t, uint64_t>{6, 7, 4, 4, 2},
                                                  {4, 7, 4, 4, 2}, {16, 0, 1, 3, 1}, {16, 0, 16, 6, 3},
                                                  {5, 3, 2, 2, 2}, {3, 5, 3, 9, 3}, {40, 33, 40, 1, 1}}) {
        const uint64_t hd = 10, vd = 7;
        const uint32_t seed = static_cast<uint32_t>(slots * 1000 + first * 10 + n) + (int8 ? 1u : 0u);
        std::mt19937 rng(seed);
        Cache c(slots, kvh, hd, vd, int8, rng, seed % 3 ? slots + seed % 3 - 1 : 0);
        std::vector<bool> used(slots, false);
        for (uint64_t p = first; p < first + n; ++p) used[p % slots] = true;
        for (uint64_t sl = 0; sl < slots; ++sl)
          if (!used[sl])
            for (uint64_t g = 0; g < kvh; ++g)
              for (uint64_t i = 0; i < vd; ++i) {
                c.v[c.row(sl, g) * vd + i] = 1e6f;
                if (int8) c.vs[c.row(sl, g)] = 1e6f;
              }
        std::vector<float> q = randn(heads * hd, 1.0f, rng), o(heads * vd), scores(heads * n);
        const uint64_t group = heads / kvh;
        vorpel::ops::attend(c.view(), group, q.data(), o.data(), 0, heads, first, n, std::sqrt(float(hd)), scores.data());
        for (uint64_t h = 0; h < heads; ++h) {
          const uint64_t g = h / group;
          std::vector<double> w;
          double mx = -1e300, sum = 0;
          for (uint64_t p = first; p < first + n; ++p) {
            double sc = 0;
            for (uint64_t i = 0; i < hd; ++i) sc += double(q[h * hd + i]) * c.key(p % slots, g, i);
            w.push_back(sc / std::sqrt(double(hd)));
            mx = std::max(mx, w.back());
          }
          for (double& x : w) sum += (x = std::exp(x - mx));
          for (uint64_t i = 0; i < vd; ++i) {
            double want = 0, mag = 0;
            for (uint64_t k = 0; k < n; ++k) {
              want += w[k] / sum * c.val((first + k) % slots, g, i);
              mag += std::abs(w[k] / sum * c.val((first + k) % slots, g, i));
            }
            EXPECT_NEAR(o[h * vd + i], want, 2e-6 * mag + 1e-6) << "seed " << seed << " head " << h;
          }
        }
      }
  }
}

// Widening a head-major cache keeps every head's rows at their slots and
// fills the new rows.
TEST(Ops, GrowHeadMajorKeepsRows) {
  for (auto [heads, rows, new_rows, width] : {std::tuple<uint64_t, uint64_t, uint64_t, uint64_t>{1, 0, 3, 2},
                                              {3, 2, 5, 4}, {4, 5, 5, 1}, {2, 1, 9, 3}}) {
    std::vector<int> c(heads * rows * width);
    for (uint64_t h = 0; h < heads; ++h)
      for (uint64_t r = 0; r < rows; ++r)
        for (uint64_t x = 0; x < width; ++x) c[(h * rows + r) * width + x] = int(1000 * h + 10 * r + x) + 1;
    vorpel::ops::grow_head_major(c, heads, rows, new_rows, width, -1);
    ASSERT_EQ(c.size(), heads * std::max(rows, new_rows) * width);
    for (uint64_t h = 0; h < heads; ++h)
      for (uint64_t r = 0; r < new_rows; ++r)
        for (uint64_t x = 0; x < width; ++x)
          EXPECT_EQ(c[(h * new_rows + r) * width + x], r < rows ? int(1000 * h + 10 * r + x) + 1 : -1)
              << heads << " " << rows << " " << new_rows;
  }
}

TEST(Ops, AttendFallsBackToUniformWeights) {
  std::mt19937 rng(5);
  Cache c(3, 1, 4, 4, false, rng);
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<float> q{-inf, 0.0f, 0.0f, 0.0f}, o(4), scores(3);
  for (auto& x : c.k) x = 1.0f;  // every score -inf
  vorpel::ops::attend(c.view(), 1, q.data(), o.data(), 0, 1, 0, 3, 2.0f, scores.data());
  for (uint64_t i = 0; i < 4; ++i) {
    const double mean = (c.val(0, 0, i) + c.val(1, 0, i) + c.val(2, 0, i)) / 3.0;
    EXPECT_NEAR(o[i], mean, 1e-6);
  }
}

// Past the tabled positions the angles are computed with the same formula, so
// a table holding every position and one holding none rotate alike.
TEST(Ops, RopeTablesAndOnTheFlyAgree) {
  const vorpel::ops::RopeTable full(12, 10000.0f, 50), none(12, 10000.0f, 0);
  std::mt19937 rng(3);
  for (uint64_t p : {0u, 1u, 7u, 49u}) {
    std::vector<float> a = randn(3 * 12, 1.0f, rng), b = a, ref = a;
    full.rotate(a.data(), 3, p);
    none.rotate(b.data(), 3, p);
    EXPECT_EQ(a, b) << "position " << p;
    for (uint64_t h = 0; h < 3; ++h)
      for (uint64_t j = 0; j < 6; ++j) {
        const double ang = double(p) / std::pow(10000.0, 2.0 * j / 12.0);
        const double x = ref[h * 12 + j], y = ref[h * 12 + j + 6];
        EXPECT_NEAR(a[h * 12 + j], x * std::cos(ang) - y * std::sin(ang), 2e-5) << p;
        EXPECT_NEAR(a[h * 12 + j + 6], y * std::cos(ang) + x * std::sin(ang), 2e-5) << p;
      }
  }
}

// Gates and the Sinkhorn mix at every instruction-set level against plain
// double-precision loops.
// Weighted row sums against double loops over output counts that leave every
// row-block remainder, widths that cross every register block and tail, both
// weight layouts (row-major and transposed), and exact-zero weights facing
// infinite row entries (skipped, or poisoning the sum when not skipped).
TEST(Ops, AddWeightedRowsAgainstDouble) {
  const float inf = std::numeric_limits<float>::infinity();
  for (auto level : simdtest::levels()) {
    simdtest::LevelGuard guard(level);
    for (uint64_t width : {1u, 7u, 8u, 9u, 31u, 32u, 33u, 40u, 65u, 100u})
      for (auto [m, n] : {std::pair<uint64_t, uint64_t>{1, 0}, {1, 3}, {2, 1}, {3, 17}, {4, 5}, {7, 3}})
        for (bool skip : {false, true})
          for (bool transposed : {false, true}) {
            const uint32_t seed = static_cast<uint32_t>(width * 1000 + m * 100 + n * 10) + (skip ? 5u : 0u) +
                                  (transposed ? 3u : 0u) + 97u * static_cast<uint32_t>(level);
            std::mt19937 rng(seed);
            const uint64_t w_h = transposed ? 1 : n + 1, w_r = transposed ? m : 1;  // padded rows when row-major
            std::vector<float> w = randn(m * (n + 1), 1.0f, rng), rows = randn(n * width, 1.0f, rng);
            std::vector<float> out = randn(m * width, 1.0f, rng);
            if (n >= 3) {  // output row 0 gives input row 1 a zero weight, and that row holds an infinity
              w[1 * w_r] = 0.0f;
              rows[width + width / 2] = inf;
            }
            std::vector<double> want(out.begin(), out.end()), mag(m * width);
            for (uint64_t i = 0; i < m * width; ++i) mag[i] = std::abs(want[i]);
            for (uint64_t h = 0; h < m; ++h)
              for (uint64_t r = 0; r < n; ++r) {
                const double a = w[h * w_h + r * w_r];
                if (skip && a == 0.0) continue;
                for (uint64_t c = 0; c < width; ++c) {
                  want[h * width + c] += a * rows[r * width + c];
                  mag[h * width + c] += std::abs(a * rows[r * width + c]);
                }
              }
            const std::vector<float> start = out;
            vorpel::ops::add_weighted_rows(out.data(), m, w.data(), w_h, w_r, rows.data(), n, width, skip);
            if (level == simdtest::SimdLevel::Avx512) {
              // The AVX2 path fuses the same multiply-adds in the same order: same bits.
              std::vector<float> avx2 = start;
              vorpel::cpu::set_simd_override(simdtest::SimdLevel::Avx2);
              vorpel::ops::add_weighted_rows(avx2.data(), m, w.data(), w_h, w_r, rows.data(), n, width, skip);
              vorpel::cpu::set_simd_override(level);
              for (uint64_t i = 0; i < m * width; ++i)
                ASSERT_EQ(std::bit_cast<uint32_t>(out[i]), std::bit_cast<uint32_t>(avx2[i]))
                    << "width " << width << " m " << m << " n " << n << " i " << i;
            }
            for (uint64_t i = 0; i < m * width; ++i) {
              if (std::isnan(want[i])) {
                EXPECT_TRUE(std::isnan(out[i])) << "seed " << seed << " i " << i;
              } else if (std::isinf(want[i])) {
                EXPECT_EQ(out[i], want[i]) << "seed " << seed << " i " << i;
              } else {
                EXPECT_NEAR(out[i], want[i], (n + 1) * 6e-8 * mag[i] + 1e-30) << "seed " << seed << " i " << i;
              }
            }
          }
  }
}

TEST(Ops, GatesAndSinkhornAgainstDouble) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (auto level : {vorpel::cpu::SimdLevel::Portable, vorpel::cpu::SimdLevel::Auto}) {
    vorpel::cpu::set_simd_override(level);
    for (uint64_t n : {1u, 8u, 13u, 64u, 1027u}) {
      const uint32_t seed = static_cast<uint32_t>(n * 3 + static_cast<uint32_t>(level));
      std::mt19937 rng(seed);
      std::vector<float> gt = randn(n, 6.0f, rng), o = randn(n, 1.0f, rng), d = randn(n, 1.0f, rng);
      gt[0] = (n % 2) ? 100.0f : -100.0f;
      if (n > 8) gt[9] = nan;
      std::vector<float> w = o, got = o, plain = gt;
      vorpel::ops::mul_sigmoid(got.data(), gt.data(), n);
      vorpel::ops::silu_scaled(w.data(), d.data(), 32.0f, n);
      vorpel::ops::silu_inplace(plain.data(), n);
      for (uint64_t i = 0; i < n; ++i) {
        const double sg = 1.0 / (1.0 + std::exp(-double(gt[i])));
        if (std::isnan(gt[i])) {
          EXPECT_TRUE(std::isnan(got[i])) << "seed " << seed;
        } else {
          EXPECT_NEAR(got[i], o[i] * sg, 4e-7 * std::abs(o[i] * sg) + 1e-30) << "seed " << seed << " i " << i;
        }
        const double z = double(o[i]) / 32.0 * d[i], silu = z / (1.0 + std::exp(-z));
        EXPECT_NEAR(w[i], silu, 4e-7 * std::abs(silu) + 1e-30) << "seed " << seed << " i " << i;
        // silu(gt): large arguments of either sign and NaN included.
        if (std::isnan(gt[i])) {
          EXPECT_TRUE(std::isnan(plain[i])) << "seed " << seed;
        } else {
          const double want = double(gt[i]) * sg;
          EXPECT_NEAR(plain[i], want, 4e-7 * std::abs(want) + 1e-30) << "seed " << seed << " i " << i;
        }
      }
    }
    // Width 4 (the register path) over several draws, wide spreads included
    // (entries whose exponentials flush to zero).
    for (auto [L, spread] : {std::pair<uint64_t, float>{1, 3}, {2, 3}, {3, 3}, {4, 3}, {4, 3}, {4, 12}, {4, 40},
                             {5, 3}, {16, 3}, {17, 3}}) {
      static uint32_t draw = 0;
      const uint32_t seed = static_cast<uint32_t>(L * 11 + static_cast<uint32_t>(level)) + 1000 * draw++;
      std::mt19937 rng(seed);
      std::vector<float> r = randn(L * L, spread, rng);
      std::vector<double> ref(r.begin(), r.end());
      auto lse = [&](size_t at, size_t stride) {
        double m = -1e300, s = 0;
        for (uint64_t i = 0; i < L; ++i) m = std::max(m, ref[at + i * stride]);
        for (uint64_t i = 0; i < L; ++i) s += std::exp(ref[at + i * stride] - m);
        return m + std::log(s);
      };
      for (int it = 0; it < 20; ++it) {
        for (uint64_t i = 0; i < L; ++i) {
          const double v = lse(i * L, 1);
          for (uint64_t k = 0; k < L; ++k) ref[i * L + k] -= v;
        }
        for (uint64_t k = 0; k < L; ++k) {
          const double v = lse(k, L);
          for (uint64_t i = 0; i < L; ++i) ref[i * L + k] -= v;
        }
      }
      // The pair path gives each matrix exactly its single result, a non-finite
      // partner (which takes the other path) included.
      std::vector<float> a = r, b = randn(L * L, spread, rng), b_alone, a_alone = r;
      if (draw % 3 == 0) b[L * L / 2] = std::numeric_limits<float>::infinity();
      b_alone = b;
      vorpel::ops::sinkhorn_log_pair(a, b, L, 20);
      vorpel::ops::sinkhorn_log(a_alone, L, 20);
      vorpel::ops::sinkhorn_log(b_alone, L, 20);
      for (uint64_t e = 0; e < L * L; ++e) {
        ASSERT_EQ(std::bit_cast<uint32_t>(a[e]), std::bit_cast<uint32_t>(a_alone[e])) << "L " << L << " e " << e;
        ASSERT_EQ(std::bit_cast<uint32_t>(b[e]), std::bit_cast<uint32_t>(b_alone[e])) << "L " << L << " e " << e;
      }
      vorpel::ops::sinkhorn_log(r, L, 20);
      // Each round subtracts values of size up to |r| + log L, rounded in single precision.
      for (uint64_t e = 0; e < L * L; ++e)
        EXPECT_NEAR(r[e], std::exp(ref[e]), 2e-5 * std::exp(ref[e]) + 1e-7) << "L " << L << " seed " << seed;
    }
  }
  vorpel::cpu::set_simd_override(vorpel::cpu::SimdLevel::Auto);
}

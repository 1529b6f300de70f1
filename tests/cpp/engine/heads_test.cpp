// Head pooling against a two-pass softmax reference, and the retrieval
// ranking (ties, NaN placement, top_k bounds).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "vorpel/engine/heads.hpp"

namespace vorpel::engine {
namespace {

// Plain reference: all scores first, then per-probe softmax weights in double.
std::vector<double> pool_reference(const std::vector<float>& probes, size_t p, size_t w,
                                   const std::vector<std::vector<float>>& vs) {
  std::vector<double> z(p * w, 0.0);
  for (size_t i = 0; i < p; ++i) {
    std::vector<double> s(vs.size());
    double m = -INFINITY;
    for (size_t k = 0; k < vs.size(); ++k) {
      double d = 0;
      for (size_t j = 0; j < w; ++j) d += static_cast<double>(probes[i * w + j]) * vs[k][j];
      s[k] = d / std::sqrt(static_cast<double>(w));
      m = std::max(m, s[k]);
    }
    double total = 0;
    for (double& x : s) total += x = std::exp(x - m);
    for (size_t k = 0; k < vs.size(); ++k)
      for (size_t j = 0; j < w; ++j) z[i * w + j] += s[k] / total * vs[k][j];
  }
  return z;
}

TEST(ProbePool, MatchesTwoPassSoftmax) {
  for (uint32_t seed = 1; seed <= 30; ++seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    const size_t p = 1 + rng() % 4, w = 1 + rng() % 40, n = 1 + rng() % 25;
    const float scale = (seed % 3 == 0) ? 8.0f : 1.0f;  // sharp softmax: many rescales
    std::vector<float> probes(p * w);
    for (float& x : probes) x = nd(rng) * scale;
    std::vector<std::vector<float>> vs(n, std::vector<float>(w));
    for (auto& v : vs)
      for (float& x : v) x = nd(rng);
    ProbePool pool(probes, p, w);
    for (const auto& v : vs) pool.add(v);
    ASSERT_EQ(pool.count(), n);
    const auto got = pool.pooled();
    ASSERT_TRUE(got.has_value());
    const auto want = pool_reference(probes, p, w, vs);
    // Pooled values are convex combinations of the inputs: bound the error by
    // the largest input magnitude times a few hundred ulps.
    double vmax = 0;
    for (const auto& v : vs)
      for (float x : v) vmax = std::max(vmax, std::fabs(static_cast<double>(x)));
    for (size_t i = 0; i < want.size(); ++i)
      ASSERT_NEAR((*got)[i], want[i], 2e-5 * vmax * (1 + n / 8.0)) << "seed " << seed << " element " << i;
  }
}

TEST(ProbePool, EmptyStreamIsAbsent) {
  const std::vector<float> probes = {1, 0};
  ProbePool pool(probes, 1, 2);
  EXPECT_FALSE(pool.pooled().has_value());
}

TEST(HeadOutput, ProjectionAndNormalisation) {
  std::mt19937 rng(11);
  std::normal_distribution<float> nd;
  const size_t out = 5, in = 13;
  std::vector<float> proj(out * in), bias(out), z(in);
  for (float& x : proj) x = nd(rng);
  for (float& x : bias) x = nd(rng);
  for (float& x : z) x = nd(rng);
  auto y = project_head(proj, bias, z);
  ASSERT_EQ(y.size(), out);
  for (size_t r = 0; r < out; ++r) {
    double want = bias[r], mag = std::fabs(bias[r]);
    for (size_t c = 0; c < in; ++c) {
      want += static_cast<double>(proj[r * in + c]) * z[c];
      mag += std::fabs(proj[r * in + c] * z[c]);
    }
    EXPECT_NEAR(y[r], want, 1e-6 * mag) << "row " << r;
  }
  l2_normalise(y);
  double ss = 0;
  for (float v : y) ss += v * v;
  EXPECT_NEAR(ss, 1.0, 1e-6);
  std::vector<float> zero(4, 0.0f);
  l2_normalise(zero);
  for (float v : zero) EXPECT_EQ(v, 0.0f);
  EXPECT_TRUE(project_head({}, {}, z).empty());
}

TEST(Retrieval, DotOverShorterLength) {
  EXPECT_FLOAT_EQ(dot_shorter(std::vector<float>{1, 2, 3}, std::vector<float>{4, 5}), 14.0f);
  EXPECT_FLOAT_EQ(dot_shorter(std::vector<float>{}, std::vector<float>{4, 5}), 0.0f);
}

TEST(Retrieval, TotalOrderKey) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> ascending = {-nan, -inf, -1e30f, -1.0f, -1e-40f, -0.0f, 0.0f,
                                        1e-40f, 1.0f, 1e30f, inf, nan};
  for (size_t i = 0; i + 1 < ascending.size(); ++i)
    EXPECT_LT(total_order_key(ascending[i]), total_order_key(ascending[i + 1])) << "position " << i;
}

TEST(Retrieval, RankingTiesNanAndTopK) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  using Pairs = std::vector<std::pair<uint64_t, float>>;
  // Skipped descriptions leave gaps in the indices; equal scores keep list order.
  const Pairs scored = {{0, 0.5f}, {2, 0.9f}, {3, 0.5f}, {4, -nan}, {5, inf}, {6, nan}, {7, -0.0f}, {8, 0.0f}};
  const Pairs all = rank_descending(scored, 100);
  ASSERT_EQ(all.size(), scored.size());
  const std::vector<uint64_t> order = {6, 5, 2, 0, 3, 8, 7, 4};
  for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(all[i].first, order[i]) << "rank " << i;
  EXPECT_TRUE(rank_descending(scored, 0).empty());
  const Pairs top2 = rank_descending(scored, 2);
  ASSERT_EQ(top2.size(), 2u);
  EXPECT_EQ(top2[0].first, 6u);
  EXPECT_EQ(top2[1].first, 5u);
  EXPECT_TRUE(rank_descending({}, 5).empty());

  const Pairs same = {{0, 0.25f}, {1, 0.25f}, {2, 0.25f}};
  const Pairs r = rank_descending(same, 3);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(r[i].first, i);
}

}  // namespace
}  // namespace vorpel::engine

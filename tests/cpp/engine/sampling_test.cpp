// Token choice: the generator's sequence, greedy ties, and sampling
// frequencies against the analytic softmax.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "vorpel/v2_engine/sampling.hpp"

namespace vorpel::v2 {
namespace {

TEST(SplitMix, KnownSequences) {
  // Values from a separate 64-bit implementation of the same recurrence.
  struct Case {
    uint64_t seed;
    uint64_t first[3];
  };
  const Case cases[] = {
      {0, {0x6e789e6aa1b965f4ull, 0x06c45d188009454full, 0xf88bb8a8724c81ecull}},
      {1, {0xbeeb8da1658eec67ull, 0xf893a2eefb32555eull, 0x71c18690ee42c90bull}},
      {42, {0x28efe333b266f103ull, 0x47526757130f9f52ull, 0x581ce1ff0e4ae394ull}},
      {~0ull, {0xe99ff867dbf682c9ull, 0x382ff84cb27281e9ull, 0x6d1db36ccba982d2ull}},
  };
  for (const auto& c : cases) {
    SplitMix r(c.seed);
    EXPECT_EQ(r.state(), c.seed + kSplitMixGamma) << "seed " << c.seed;
    for (uint64_t v : c.first) EXPECT_EQ(r.next_u64(), v) << "seed " << c.seed;
  }
  SplitMix r(0);
  EXPECT_DOUBLE_EQ(r.next_unit(), 0.43152799704850997);
  EXPECT_DOUBLE_EQ(r.next_unit(), 0.026433771592597743);
}

TEST(Greedy, LowestIndexOnTiesAndNanIgnored) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(greedy_token(std::vector<float>{1, 3, 3, 2}), 1u);
  EXPECT_EQ(greedy_token(std::vector<float>{5, 5, 5}), 0u);
  EXPECT_EQ(greedy_token(std::vector<float>{nan, 1, 2, nan, 2}), 2u);
  EXPECT_EQ(greedy_token(std::vector<float>{-inf, -inf}), 0u);
  EXPECT_EQ(greedy_token(std::vector<float>{-inf, -1e30f}), 1u);
  EXPECT_EQ(greedy_token(std::vector<float>{nan, nan}), 0u);
  EXPECT_EQ(greedy_token(std::vector<float>{0, -0.0f}), 0u);
  // Temperature <= 0 never draws from the generator.
  SplitMix r(7);
  const uint64_t before = r.state();
  EXPECT_EQ(choose_token(std::vector<float>{0, 9, 1}, 0.0f, r), 1u);
  EXPECT_EQ(choose_token(std::vector<float>{0, 9, 1}, -2.0f, r), 1u);
  EXPECT_EQ(r.state(), before);
}

TEST(Sampling, FixedSeedIsDeterministicAndDrawsOncePerStep) {
  std::vector<float> logits(50);
  for (size_t i = 0; i < logits.size(); ++i) logits[i] = std::sin(0.7f * i) * 3.0f;
  for (uint64_t seed : {0ull, 1ull, 123456789ull}) {
    SplitMix a(seed), b(seed);
    for (int k = 0; k < 20; ++k) {
      EXPECT_EQ(sample_token(logits, 0.8f, a), sample_token(logits, 0.8f, b)) << "seed " << seed;
    }
    SplitMix c(seed);
    for (int k = 0; k < 20; ++k) c.next_u64();
    EXPECT_EQ(a.state(), c.state()) << "seed " << seed;
  }
}

TEST(Sampling, ThresholdWalkPicksTheIndexCoveringTheDraw) {
  // Two equal logits: the draw u < 0.5 picks index 0, otherwise index 1.
  for (uint64_t seed = 0; seed < 64; ++seed) {
    SplitMix probe(seed);
    const double u = probe.next_unit();
    SplitMix r(seed);
    EXPECT_EQ(sample_token(std::vector<float>{2.0f, 2.0f}, 1.0f, r), u * 2.0 <= 1.0 ? 0u : 1u) << "seed " << seed;
  }
  // A masked entry (bias -1e9) is never chosen.
  for (uint64_t seed = 0; seed < 200; ++seed) {
    SplitMix r(seed);
    EXPECT_NE(sample_token(std::vector<float>{1.0f, -1e9f, 1.5f}, 2.0f, r), 1u) << "seed " << seed;
  }
}

TEST(Sampling, FrequenciesMatchSoftmax) {
  const std::vector<float> logits = {0.5f, 1.0f, -1.0f, 2.0f, 0.0f};
  for (float temp : {1.0f, 0.5f, 2.0f}) {
    std::vector<double> p(logits.size());
    double z = 0;
    for (size_t i = 0; i < logits.size(); ++i) z += p[i] = std::exp(static_cast<double>(logits[i]) / temp);
    for (double& v : p) v /= z;
    for (uint64_t seed : {3ull, 99ull}) {
      SplitMix r(seed);
      std::vector<int> counts(logits.size());
      const int n = 10000;
      for (int k = 0; k < n; ++k) ++counts[sample_token(logits, temp, r)];
      for (size_t i = 0; i < logits.size(); ++i)
        EXPECT_NEAR(counts[i] / static_cast<double>(n), p[i], 0.02) << "temperature " << temp << " seed " << seed
                                                                    << " index " << i;
    }
  }
}

TEST(Sampling, TinyTemperatureActsLikeArgmax) {
  SplitMix r(5);
  for (int k = 0; k < 50; ++k) EXPECT_EQ(sample_token(std::vector<float>{0.1f, 0.3f, 0.2f}, 1e-9f, r), 1u);
}

}  // namespace
}  // namespace vorpel::v2

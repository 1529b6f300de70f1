// Token choice: the generator's sequence and where each generation starts it,
// greedy ties (lowest id; total order with the highest id), and sampling
// frequencies against the analytic softmax under both temperature rules.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "vorpel/engine/sampling.hpp"

namespace vorpel::engine {
namespace {

constexpr TemperatureRule kRules[] = {TemperatureRule::InverseProduct, TemperatureRule::Quotient};

uint32_t draw(std::span<const float> logits, float t, SplitMix& r, TemperatureRule rule = TemperatureRule::Quotient) {
  std::vector<float> terms;
  return sample_token(logits, t, rule, r, terms);
}

TEST(SplitMix, KnownSequencesAndStartingStates) {
  // Values from a separate 64-bit implementation of the same recurrence,
  // started at seed + gamma (the second generation's start).
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
    SplitMix r(c.seed + kSplitMixGamma);
    for (uint64_t v : c.first) EXPECT_EQ(r.next_u64(), v) << "seed " << c.seed;
    // The third generation starts at the seed itself: its first draw is the
    // second generation's draw for seed - gamma.
    EXPECT_EQ(TokenChooser::third_generation(1.0f, c.seed + kSplitMixGamma).rng().state(), c.seed + kSplitMixGamma);
    EXPECT_EQ(TokenChooser::second_generation(1.0f, c.seed).rng().state(), c.seed + kSplitMixGamma);
  }
  SplitMix r(kSplitMixGamma);
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
  // Temperature <= 0 (or NaN) never draws from the generator.
  for (float t : {0.0f, -2.0f, nan}) {
    TokenChooser c = TokenChooser::second_generation(t, 7);
    const uint64_t before = c.rng().state();
    EXPECT_EQ(c.choose(std::vector<float>{0, 9, 1}), 1u);
    EXPECT_EQ(c.rng().state(), before);
  }
}

TEST(Greedy, TotalOrderHighestIndexOnTies) {
  const float qnan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(greedy_total_order(std::vector<float>{1, 3, 3, 2}), 2u);
  EXPECT_EQ(greedy_total_order(std::vector<float>{5, 5, 5}), 2u);
  EXPECT_EQ(greedy_total_order(std::vector<float>{qnan, inf, 1}), 0u);     // +NaN above +inf
  EXPECT_EQ(greedy_total_order(std::vector<float>{-qnan, -inf, -1e30f}), 2u);  // -NaN below -inf
  EXPECT_EQ(greedy_total_order(std::vector<float>{0.0f, -0.0f}), 0u);     // +0 above -0
  EXPECT_EQ(greedy_total_order(std::vector<float>{-inf}), 0u);
  EXPECT_EQ(greedy_total_order(std::vector<float>{}), 0u);
}

TEST(Sampling, FixedSeedIsDeterministicAndDrawsOncePerStep) {
  std::vector<float> logits(50);
  for (size_t i = 0; i < logits.size(); ++i) logits[i] = std::sin(0.7f * i) * 3.0f;
  for (auto rule : kRules)
    for (uint64_t seed : {0ull, 1ull, 123456789ull}) {
      SplitMix a(seed), b(seed);
      for (int k = 0; k < 20; ++k) EXPECT_EQ(draw(logits, 0.8f, a, rule), draw(logits, 0.8f, b, rule)) << seed;
      SplitMix c(seed);
      for (int k = 0; k < 20; ++k) c.next_u64();
      EXPECT_EQ(a.state(), c.state()) << "seed " << seed;
    }
}

TEST(Sampling, ThresholdWalkPicksTheIndexCoveringTheDraw) {
  for (auto rule : kRules) {
    // Two equal logits: the draw u < 0.5 picks index 0, otherwise index 1.
    for (uint64_t seed = 0; seed < 64; ++seed) {
      SplitMix probe(seed);
      const double u = probe.next_unit();
      SplitMix r(seed);
      EXPECT_EQ(draw(std::vector<float>{2.0f, 2.0f}, 1.0f, r, rule), u * 2.0 <= 1.0 ? 0u : 1u) << "seed " << seed;
    }
    // A masked entry (bias -1e9) is never chosen.
    for (uint64_t seed = 0; seed < 200; ++seed) {
      SplitMix r(seed);
      EXPECT_NE(draw(std::vector<float>{1.0f, -1e9f, 1.5f}, 2.0f, r, rule), 1u) << "seed " << seed;
    }
  }
}

TEST(Sampling, FrequenciesMatchSoftmax) {
  const std::vector<float> logits = {0.5f, 1.0f, -1.0f, 2.0f, 0.0f};
  for (auto rule : kRules)
    for (float temp : {1.0f, 0.5f, 2.0f}) {
      std::vector<double> p(logits.size());
      double z = 0;
      for (size_t i = 0; i < logits.size(); ++i) z += p[i] = std::exp(static_cast<double>(logits[i]) / temp);
      for (double& v : p) v /= z;
      for (uint64_t seed : {3ull, 99ull}) {
        SplitMix r(seed);
        std::vector<int> counts(logits.size());
        const int n = 10000;
        for (int k = 0; k < n; ++k) ++counts[draw(logits, temp, r, rule)];
        for (size_t i = 0; i < logits.size(); ++i)
          EXPECT_NEAR(counts[i] / static_cast<double>(n), p[i], 0.02)
              << "temperature " << temp << " seed " << seed << " index " << i;
      }
    }
}

// The quotient rule divides by the temperature as given (no floor); the
// inverse-product rule floors it at 1e-6 before inverting.
TEST(Sampling, TinyTemperatureActsLikeArgmax) {
  for (auto rule : kRules) {
    SplitMix r(5);
    for (int k = 0; k < 50; ++k) EXPECT_EQ(draw(std::vector<float>{0.1f, 0.3f, 0.2f}, 1e-9f, r, rule), 1u);
  }
}

}  // namespace
}  // namespace vorpel::engine

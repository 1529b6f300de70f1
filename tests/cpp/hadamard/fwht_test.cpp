// FWHT against a dense Hadamard matrix in double precision, and its
// preconditions, on every available instruction-set level.
#include "vorpel/hadamard/fwht.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "vorpel/core/panic.hpp"
#include "simd_levels.hpp"

namespace {

using simdtest::LevelGuard;
using simdtest::levels;
using simdtest::SimdLevel;

// y = H x (unnormalised), H[i][j] = (-1)^popcount(i & j).
std::vector<double> naive_hadamard(const std::vector<float>& x) {
  const size_t n = x.size();
  std::vector<double> y(n, 0.0);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < n; ++j) y[i] += (std::popcount(i & j) & 1 ? -1.0 : 1.0) * x[j];
  return y;
}

std::vector<float> random_vec(std::mt19937& rng, size_t n) {
  std::uniform_real_distribution<float> d(-2.0f, 2.0f);
  std::vector<float> v(n);
  for (auto& e : v) e = d(rng);
  return v;
}

template <class F>
std::string panic_message(F&& f) {
  try {
    f();
  } catch (const vorpel::Panic& p) {
    return p.what();
  }
  return "<no panic>";
}

TEST(Fwht, SmallCasesExact) {
  for (SimdLevel level : levels()) {
    LevelGuard g(level);
    std::vector<float> one{3.5f};
    vorpel::fwht(one);
    EXPECT_EQ(one[0], 3.5f);

    std::vector<float> two{3.0f, 1.0f};
    vorpel::fwht(two);
    const float s = 1.0f / std::sqrt(2.0f);
    EXPECT_EQ(two[0], 4.0f * s);
    EXPECT_EQ(two[1], 2.0f * s);

    std::vector<float> four{1, 0, 0, 0};
    vorpel::fwht(four);
    for (float v : four) EXPECT_EQ(v, 0.5f);
  }
}

TEST(Fwht, MatchesDenseHadamardAndLevelsAgreeBitwise) {
  for (size_t n = 1; n <= 1024; n *= 2) {
    const unsigned seed = 1000 + static_cast<unsigned>(n);
    std::mt19937 rng(seed);
    const std::vector<float> x = random_vec(rng, n);
    const std::vector<double> ref = naive_hadamard(x);
    double l1 = 0;
    for (float v : x) l1 += std::fabs(v);
    std::vector<float> first;
    for (SimdLevel level : levels()) {
      LevelGuard g(level);
      std::vector<float> u = x;
      vorpel::fwht_butterfly(u);
      std::vector<float> a = x;
      vorpel::fwht(a);
      const double stages = std::log2(static_cast<double>(n)) + 1;
      for (size_t i = 0; i < n; ++i) {
        const double bound = stages * 1.2e-7 * l1;
        ASSERT_NEAR(u[i], ref[i], bound) << "seed " << seed << " n " << n << " i " << i;
        ASSERT_NEAR(a[i], ref[i] / std::sqrt(static_cast<double>(n)), bound) << "seed " << seed << " i " << i;
      }
      // Every stage is the same exact add or subtract on every path.
      if (first.empty()) first = a;
      ASSERT_EQ(first, a) << "level " << static_cast<int>(level) << " n " << n;
    }
  }
}

TEST(Fwht, TwiceIsIdentity) {
  for (SimdLevel level : levels()) {
    LevelGuard g(level);
    for (size_t n : {2u, 8u, 64u, 4096u}) {
      std::mt19937 rng(static_cast<unsigned>(n));
      const std::vector<float> x = random_vec(rng, n);
      std::vector<float> a = x;
      vorpel::fwht(a);
      vorpel::fwht(a);
      const double bound = 4 * std::log2(static_cast<double>(n)) * 1.2e-7 * 2.0;
      for (size_t i = 0; i < n; ++i) ASSERT_NEAR(a[i], x[i], bound * std::sqrt(double(n))) << "n " << n;
    }
  }
}

TEST(Fwht, BlockwiseTransformsWholeBlocksOnly) {
  for (SimdLevel level : levels()) {
    LevelGuard g(level);
    std::mt19937 rng(7);
    std::vector<float> x = random_vec(rng, 27);
    for (size_t i = 8; i < 16; ++i) x[i] = 0.0f;  // a zero block stays zero
    std::vector<float> a = x;
    vorpel::fwht_blockwise(a, 8);
    for (size_t k = 0; k < 3; ++k) {
      std::vector<float> blk(x.begin() + 8 * k, x.begin() + 8 * (k + 1));
      vorpel::fwht(blk);
      for (size_t t = 0; t < 8; ++t) EXPECT_EQ(a[8 * k + t], blk[t]);
    }
    for (size_t i = 8; i < 16; ++i) EXPECT_EQ(a[i], 0.0f);
    for (size_t i = 24; i < 27; ++i) EXPECT_EQ(a[i], x[i]);  // remainder untouched
  }
}

TEST(Fwht, Preconditions) {
  std::vector<float> twelve(12, 1.0f);
  EXPECT_EQ(panic_message([&] { vorpel::fwht(twelve); }), "FWHT length must be a power of two");
  EXPECT_EQ(panic_message([&] { vorpel::fwht_butterfly(twelve); }), "FWHT length must be a power of two");
  EXPECT_EQ(panic_message([&] { vorpel::fwht_blockwise(twelve, 0); }), "chunk size must be non-zero");
  EXPECT_EQ(panic_message([&] { vorpel::fwht_blockwise(twelve, 12); }), "FWHT length must be a power of two");
  std::vector<float> empty;
  EXPECT_EQ(panic_message([&] { vorpel::fwht_blockwise(empty, 8); }), "<no panic>");
}

}  // namespace

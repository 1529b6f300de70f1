// 4-bit weights: every instruction-set path of the products against a plain
// double-precision reference over shapes that cross every vector tail, the
// quantiser's rounding rules and error band, and the packed layout.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "simd_levels.hpp"
#include "v1/v1_files.hpp"
#include "vorpel/core/panic.hpp"
#include "vorpel/v1/quant.hpp"

namespace {

using vorpel::v1::QuantLinear;

// Element (r, c) of the stored bytes, decoded independently of the library.
int nibble(const std::vector<uint8_t>& packed, uint64_t out, uint64_t r, uint64_t c) {
  const uint8_t b = packed[(r / 2) * out + c];
  const int n = r % 2 == 0 ? (b & 0x0F) : (b >> 4);
  return n >= 8 ? n - 16 : n;
}

// Random bytes and scales; the pad nibble of an odd last row holds garbage
// that from_packed must discard.
QuantLinear random_linear(uint64_t in, uint64_t out, std::mt19937_64& rng) {
  std::vector<uint8_t> packed(QuantLinear::packed_bytes(in, out));
  for (auto& b : packed) b = static_cast<uint8_t>(rng());
  std::uniform_real_distribution<float> s(0.01f, 2.0f);
  std::vector<float> scales(QuantLinear::scale_count(in, out));
  for (auto& v : scales) v = s(rng);
  return QuantLinear::from_packed(in, out, packed, std::move(scales));
}

struct Shape {
  uint64_t in, out;
};

// Tails of 8- and 16-wide registers and of 32-row groups, on both sides.
const Shape kShapes[] = {{1, 1},   {2, 7},    {3, 8},    {5, 9},    {31, 15},  {32, 16},  {33, 17},
                         {63, 31}, {64, 32},  {65, 33},  {95, 47},  {96, 48},  {97, 63},  {100, 64},
                         {7, 65},  {129, 79}, {257, 96}, {40, 127}, {66, 129}, {255, 200}};
const uint64_t kRows[] = {1, 2, 3, 4, 5, 7, 9};

class QuantProducts : public ::testing::TestWithParam<vorpel::cpu::SimdLevel> {};

TEST_P(QuantProducts, MatchTheReferenceOnEveryTail) {
  simdtest::LevelGuard guard(GetParam());
  constexpr float kSentinel = 12345.5f;
  const double eps = std::numeric_limits<float>::epsilon();
  uint64_t seed = 1000;
  for (const Shape& sh : kShapes)
    for (uint64_t rows : kRows) {
      std::mt19937_64 rng(++seed);
      const QuantLinear w = random_linear(sh.in, sh.out, rng);
      std::vector<uint8_t> bytes(w.packed().begin(), w.packed().end());
      const std::vector<float> x = v1test::normal(rows * sh.in, 1.0f, rng);
      std::vector<float> y(rows * sh.out + 1, kSentinel);
      if (rows == 1)
        vorpel::v1::matvec(w, x, std::span<float>(y.data(), sh.out));
      else
        vorpel::v1::matmul(w, x, rows, std::span<float>(y.data(), rows * sh.out));
      ASSERT_EQ(y.back(), kSentinel) << "write past the output, seed " << seed;
      for (uint64_t m = 0; m < rows; ++m)
        for (uint64_t c = 0; c < sh.out; ++c) {
          double ref = 0, mag = 0;
          for (uint64_t r = 0; r < sh.in; ++r) {
            const double t = static_cast<double>(x[m * sh.in + r]) * nibble(bytes, sh.out, r, c) * w.scale(r, c);
            ref += t;
            mag += std::fabs(t);
          }
          // Any summation order of in + groups float terms stays within this.
          const double bound = 2.0 * (sh.in + 2) * eps * mag + 1e-30;
          const double got = y[m * sh.out + c];
          ASSERT_LE(std::fabs(got - ref), bound)
              << "seed " << seed << " in " << sh.in << " out " << sh.out << " rows " << rows << " at (" << m
              << ", " << c << "): expected " << ref << ", got " << got;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, QuantProducts, ::testing::ValuesIn(simdtest::levels()),
                         [](const auto& info) {
                           using L = vorpel::cpu::SimdLevel;
                           return std::string(info.param == L::Avx512 ? "Avx512"
                                              : info.param == L::Avx2 ? "Avx2"
                                                                      : "Portable");
                         });

TEST(QuantProducts, RejectMismatchedBuffers) {
  std::mt19937_64 rng(1);
  const QuantLinear w = random_linear(10, 6, rng);
  std::vector<float> x(10), y(6), y_short(5);
  EXPECT_THROW(vorpel::v1::matvec(w, std::span<const float>(x.data(), 9), y), vorpel::Panic);
  EXPECT_THROW(vorpel::v1::matvec(w, x, y_short), vorpel::Panic);
  EXPECT_THROW(vorpel::v1::matmul(w, x, 2, y), vorpel::Panic);
}

TEST(Quantiser, ValueRules) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  struct Case {
    float v, scale;
    int want;
  } cases[] = {
      {2.5f, 1.0f, 3},     {-2.5f, 1.0f, -3},   {0.49999997f, 1.0f, 0}, {1.5f, 1.0f, 2},
      {-0.5f, 1.0f, -1},   {6.9f, 1.0f, 7},     {100.0f, 1.0f, 7},      {-100.0f, 1.0f, -8},
      {-7.6f, 1.0f, -8},   {nan, 1.0f, 0},      {inf, 1.0f, 7},         {-inf, 1.0f, -8},
      {1.0f, inf, 0},      {inf, inf, 0},       {3.0f, 0.5f, 6},
  };
  for (const Case& k : cases)
    EXPECT_EQ(vorpel::v1::quantize_value(k.v, k.scale), k.want) << k.v << " / " << k.scale;
}

TEST(Quantiser, GroupsScalesAndErrorBand) {
  for (uint64_t seed = 1; seed <= 6; ++seed) {
    std::mt19937_64 rng(seed);
    const uint64_t in = 1 + rng() % 90, out = 1 + rng() % 40;
    std::vector<float> w = v1test::normal(in * out, 0.3f, rng);
    // A NaN is ignored by the maximum and becomes code 0.
    w[(rng() % in) * out + rng() % out] = std::numeric_limits<float>::quiet_NaN();
    const QuantLinear q = QuantLinear::quantize(in, out, w);
    ASSERT_EQ(q.packed().size(), (in + 1) / 2 * out);
    ASSERT_EQ(q.scales().size(), (in + 31) / 32 * out);
    for (uint64_t c = 0; c < out; ++c)
      for (uint64_t g = 0; g * 32 < in; ++g) {
        float amax = 0;
        for (uint64_t r = g * 32; r < std::min(in, g * 32 + 32); ++r)
          if (!std::isnan(w[r * out + c])) amax = std::max(amax, std::fabs(w[r * out + c]));
        const float s = q.scale(g * 32, c);
        ASSERT_EQ(s, std::max(amax / 7.0f, 1e-8f)) << "seed " << seed;
        for (uint64_t r = g * 32; r < std::min(in, g * 32 + 32); ++r) {
          const float v = w[r * out + c];
          if (std::isnan(v)) {
            EXPECT_EQ(q.code(r, c), 0) << "seed " << seed;
            continue;
          }
          EXPECT_LE(std::fabs(q.code(r, c) * s - v), 0.5f * s * (1 + 1e-5f)) << "seed " << seed;
        }
      }
    if (in % 2 == 1) {
      for (uint64_t c = 0; c < out; ++c) EXPECT_EQ(q.packed()[(in / 2) * out + c] >> 4, 0) << "pad nibble";
    }
  }
}

TEST(Quantiser, PackedLayoutAndZeros) {
  // Rows 0..2 of one column: codes 7, -7, -1 at scale 8/7 (the group max is 8).
  const std::vector<float> w = {8.0f, -8.0f, -8.0f / 7};
  const QuantLinear q = QuantLinear::quantize(3, 1, w);
  ASSERT_EQ(q.packed().size(), 2u);
  EXPECT_EQ(q.packed()[0], 0x97);  // row 0 low nibble 7, row 1 high nibble -7
  EXPECT_EQ(q.packed()[1], 0x0F);  // row 2 low nibble -1, pad 0
  const QuantLinear z = QuantLinear::zeros(33, 3);
  for (uint8_t b : z.packed()) EXPECT_EQ(b, 0);
  for (float s : z.scales()) EXPECT_EQ(s, 1e-8f);
  std::vector<uint8_t> bad(QuantLinear::packed_bytes(4, 2) + 1);
  EXPECT_THROW(QuantLinear::from_packed(4, 2, bad, std::vector<float>(2)), vorpel::Panic);
}

}  // namespace

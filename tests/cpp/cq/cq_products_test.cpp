// CQ products against the plain reference on random shapes, every bits code,
// block sizes 8..2048, row-group and vector-tile tails, split thresholds, and
// every SIMD level; any row range or split gives the whole product's bits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <sstream>
#include <tuple>

#include "cq_reference.hpp"
#include "vorpel/core/panic.hpp"
#include "vorpel/cq/cq_kernels.hpp"

namespace {

using vorpel::cq::CqTensor;

constexpr float kSentinel = 12345.0f;

CqTensor decode_or_die(const cqref::Encoded& e) {
  auto t = vorpel::cq::decode(e.bytes, e.rows, e.cols, e.b, e.code, e.codebook);
  if (!t) throw std::runtime_error("decode failed: " + vorpel::cq::debug_string(t.error()));
  return std::move(*t);
}

std::string describe(const cqref::Encoded& e, unsigned seed, cqref::SimdLevel level) {
  std::ostringstream s;
  s << "seed " << seed << " rows " << e.rows << " cols " << e.cols << " b " << e.b << " code " << int(e.code)
    << " level " << static_cast<int>(level);
  return s.str();
}

// Checks matvec, row_kernel on an inner range, matvec_rotated and the batched
// product against the reference for one tensor at the current level.
void check_products(const cqref::Encoded& e, const CqTensor& t, std::mt19937& rng, uint64_t nvec,
                    const std::string& what) {
  const std::vector<double> w_rot = cqref::rotated_all(e);
  std::vector<std::vector<float>> xs;
  std::vector<std::vector<double>> xr, l1;
  for (uint64_t j = 0; j < nvec; ++j) {
    xs.push_back(cqref::random_x(rng, e.cols));
    xr.push_back(cqref::rotate(e, xs.back()));
    l1.push_back(cqref::block_l1(e, xs.back()));
  }
  auto expect_row = [&](float got, uint64_t r, uint64_t j, const char* op) {
    const cqref::RefRow ref = cqref::row_ref(e, w_rot, r, xr[j], l1[j]);
    ASSERT_LE(std::fabs(got - ref.y), ref.bound)
        << what << " " << op << " row " << r << " vector " << j << " expected " << ref.y << " got " << got;
  };

  // matvec over all rows, with a sentinel after the output.
  std::vector<float> y(e.rows + 1, kSentinel);
  vorpel::cq::matvec(t, xs[0], std::span(y).first(e.rows));
  ASSERT_EQ(y[e.rows], kSentinel) << what;
  for (uint64_t r = 0; r < e.rows; ++r) expect_row(y[r], r, 0, "matvec");

  // The rotated input, then an inner range of rows.
  std::vector<float> x_rot(t.padded_cols());
  vorpel::cq::rotate_input(t, xs[0], x_rot);
  const uint64_t first = e.rows / 3, count = e.rows - first - e.rows / 4;
  std::vector<float> yk(count + 1, kSentinel), yr(count + 1, kSentinel);
  vorpel::cq::row_kernel(t, x_rot, first, std::span(yk).first(count));
  vorpel::cq::matvec_rotated(t, x_rot, first, std::span(yr).first(count));
  ASSERT_EQ(yk[count], kSentinel);
  ASSERT_EQ(yr[count], kSentinel);
  for (uint64_t i = 0; i < count; ++i) {
    expect_row(yk[i], first + i, 0, "row_kernel");
    // Splitting over the pool never changes a row's arithmetic.
    ASSERT_EQ(yk[i], yr[i]) << what << " row " << first + i;
  }

  // Batched product over all rows.
  std::vector<float> xb(nvec * t.padded_cols());
  for (uint64_t j = 0; j < nvec; ++j)
    vorpel::cq::rotate_input(t, xs[j], std::span(xb).subspan(j * t.padded_cols(), t.padded_cols()));
  std::vector<float> out(nvec * e.rows + 1, kSentinel);
  vorpel::cq::matmul_batch(t, xb, nvec, 0, e.rows, std::span(out).first(nvec * e.rows));
  ASSERT_EQ(out[nvec * e.rows], kSentinel) << what;
  for (uint64_t j = 0; j < nvec; ++j)
    for (uint64_t r = 0; r < e.rows; ++r) expect_row(out[j * e.rows + r], r, j, "matmul_batch");
}

TEST(CqProducts, RandomShapesEveryCodeAndBlock) {
  const uint64_t blocks[] = {8, 16, 32, 64, 128, 256, 512, 1024, 2048};
  unsigned seed = 20240;
  for (auto level : cqref::levels()) {
    cqref::LevelGuard g(level);
    for (uint8_t code : {2, 3, 4, 5}) {
      for (uint64_t b : blocks) {
        ++seed;
        std::mt19937 rng(seed);
        // One to three blocks per row, often with a short last block; rows
        // from a part of one 32-row group to several with a partial last one.
        const uint64_t nblocks = 1 + rng() % (b >= 1024 ? 2 : 3);
        const uint64_t cols = nblocks * b - (rng() % 2 ? rng() % b : 0);
        const uint64_t rows = 1 + rng() % (b >= 512 ? 40 : 100);
        const cqref::Encoded e = cqref::make_encoded(rng, rows, cols, b, code);
        const CqTensor t = decode_or_die(e);
        // Sometimes more vectors than one register tile of the batched product.
        const uint64_t nvec = rng() % 3 == 0 ? 12 + rng() % 15 : 1 + rng() % 5;
        check_products(e, t, rng, nvec, describe(e, seed, level));
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST(CqProducts, AnyRowRangeGivesTheWholeProductsBits) {
  // A row's arithmetic does not depend on which rows share its pass: ranges
  // starting and ending inside 16- and 32-row groups, single rows, and the
  // partial last group all reproduce the whole product exactly.
  const std::pair<uint64_t, uint64_t> ranges[] = {{0, 1},  {5, 3},   {15, 2},  {16, 16}, {8, 8},  {30, 4},
                                                  {31, 1}, {32, 32}, {47, 40}, {64, 36}, {99, 1}, {1, 98}};
  unsigned seed = 6060;
  for (auto level : cqref::levels()) {
    cqref::LevelGuard g(level);
    for (uint8_t code : {2, 3, 4, 5}) {
      for (uint64_t b : {8u, 64u}) {
        std::mt19937 rng(++seed);
        const cqref::Encoded e = cqref::make_encoded(rng, 100, 3 * b - 5, b, code);
        const CqTensor t = decode_or_die(e);
        const std::string what = describe(e, seed, level);
        const uint64_t pc = t.padded_cols(), nvec = 13;
        std::vector<float> xb(nvec * pc);
        for (uint64_t j = 0; j < nvec; ++j)
          vorpel::cq::rotate_input(t, cqref::random_x(rng, e.cols), std::span(xb).subspan(j * pc, pc));
        const std::span<const float> x0(xb.data(), pc);
        std::vector<float> whole(e.rows), whole_batch(nvec * e.rows);
        vorpel::cq::row_kernel(t, x0, 0, whole);
        vorpel::cq::matmul_batch(t, xb, nvec, 0, e.rows, whole_batch);
        for (auto [first, count] : ranges) {
          std::vector<float> y(count + 1, kSentinel), yb(nvec * count + 1, kSentinel);
          vorpel::cq::row_kernel(t, x0, first, std::span(y).first(count));
          vorpel::cq::matmul_batch(t, xb, nvec, first, count, std::span(yb).first(nvec * count));
          ASSERT_EQ(y[count], kSentinel) << what;
          ASSERT_EQ(yb[nvec * count], kSentinel) << what;
          for (uint64_t i = 0; i < count; ++i) {
            ASSERT_EQ(y[i], whole[first + i]) << what << " rows " << first << "+" << count << " row " << first + i;
            for (uint64_t j = 0; j < nvec; ++j)
              ASSERT_EQ(yb[j * count + i], whole_batch[j * e.rows + first + i])
                  << what << " batch rows " << first << "+" << count << " row " << first + i << " vector " << j;
          }
        }
      }
    }
  }
}

TEST(CqProducts, SplitThresholds) {
  // Matrix-vector: 63 rows stay serial; 64 rows of 3072 columns (196,608
  // multiply-adds) split, 341 x 576 (196,416) do not, 342 x 576 split at a
  // group boundary. Batched: more than 1,048,575 multiply-adds split by rows
  // (64 or more) or else by vectors (16 or more).
  struct Case {
    uint64_t rows, cols, b, nvec;
  } cases[] = {{63, 8192, 64, 1},   {64, 3072, 64, 1},   {341, 576, 64, 1},    {342, 576, 64, 1},
               {128, 8184, 8, 1},   {300, 4000, 128, 3}, {40, 1024, 32, 40},   {64, 2048, 256, 17},
               {16, 4096, 2048, 16}};
  unsigned seed = 777;
  for (auto level : cqref::levels()) {
    cqref::LevelGuard g(level);
    for (const Case& c : cases) {
      for (uint8_t code : {3, 4}) {
        ++seed;
        std::mt19937 rng(seed);
        const cqref::Encoded e = cqref::make_encoded(rng, c.rows, c.cols, c.b, code);
        const CqTensor t = decode_or_die(e);
        check_products(e, t, rng, c.nvec, describe(e, seed, level));
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST(CqProducts, BatchedSplitEqualsSerialBitwise) {
  // Each output element depends only on its row and vector, so the split
  // into row or vector chunks must give exactly the one-at-a-time results.
  unsigned seed = 4242;
  for (auto level : cqref::levels()) {
    cqref::LevelGuard g(level);
    for (auto [rows, nvec, code] : {std::tuple<uint64_t, uint64_t, uint8_t>{200, 24, 2}, {50, 64, 3},
                                    {170, 30, 4}, {40, 70, 5}}) {
      std::mt19937 rng(++seed);
      const cqref::Encoded e = cqref::make_encoded(rng, rows, 1000, 64, code);
      const CqTensor t = decode_or_die(e);
      std::vector<float> xb(nvec * t.padded_cols());
      for (uint64_t j = 0; j < nvec; ++j)
        vorpel::cq::rotate_input(t, cqref::random_x(rng, e.cols), std::span(xb).subspan(j * t.padded_cols(), t.padded_cols()));
      const uint64_t first = 3, count = rows - 5;
      std::vector<float> out(nvec * count);
      vorpel::cq::matmul_batch(t, xb, nvec, first, count, out);
      for (uint64_t j = 0; j < nvec; ++j)
        for (uint64_t i = 0; i < count; ++i) {
          float one = 0;
          vorpel::cq::matmul_batch(t, std::span(xb).subspan(j * t.padded_cols(), t.padded_cols()), 1, first + i, 1,
                                   std::span(&one, 1));
          ASSERT_EQ(out[j * count + i], one) << "seed " << seed << " vector " << j << " row " << i;
        }
    }
  }
}

TEST(CqProducts, ManyProductsInOneRegionEqualSeparateCallsBitwise) {
  // Tensors of one width and block sharing the rotated inputs: row-split,
  // vector-split and unsplit products mixed in one region, every bit width.
  unsigned seed = 5151;
  for (auto level : cqref::levels()) {
    cqref::LevelGuard g(level);
    for (auto [nvec, cols] : {std::pair<uint64_t, uint64_t>{128, 576}, {9, 1000}, {33, 200}}) {
      std::mt19937 rng(++seed);
      const uint64_t rows[] = {4, 16, 200, 71};
      const uint8_t codes[] = {4, 3, 2, 5};
      std::vector<CqTensor> ts;
      for (int i = 0; i < 4; ++i) ts.push_back(decode_or_die(cqref::make_encoded(rng, rows[i], cols, 64, codes[i])));
      const uint64_t pc = ts[0].padded_cols();
      std::vector<float> xb(nvec * pc);
      for (uint64_t j = 0; j < nvec; ++j)
        vorpel::cq::rotate_input(ts[0], cqref::random_x(rng, cols), std::span(xb).subspan(j * pc, pc));
      const uint64_t first[] = {0, 2, 5, 1}, count[] = {4, 13, 190, 64};
      std::vector<std::vector<float>> many(4), one(4);
      std::vector<vorpel::cq::BatchProduct> ps;
      for (int i = 0; i < 4; ++i) {
        many[i].assign(nvec * count[i], -1.0f);
        one[i].assign(nvec * count[i], -2.0f);
        ps.push_back({&ts[i], first[i], count[i], many[i]});
        vorpel::cq::matmul_batch(ts[i], xb, nvec, first[i], count[i], one[i]);
      }
      vorpel::cq::matmul_batch_many(ps, xb, nvec);
      for (int i = 0; i < 4; ++i)
        for (uint64_t k = 0; k < many[i].size(); ++k)
          ASSERT_EQ(many[i][k], one[i][k]) << "seed " << seed << " product " << i << " at " << k;
    }
  }
}

TEST(CqProducts, DenseMatchesReferenceAndUnitVectors) {
  unsigned seed = 99;
  for (auto level : cqref::levels()) {
    cqref::LevelGuard g(level);
    for (uint8_t code : {2, 3, 4, 5}) {
      for (uint64_t b : {8u, 64u, 256u}) {
        std::mt19937 rng(++seed);
        const uint64_t cols = b + 1 + rng() % b;  // a partial second block
        const cqref::Encoded e = cqref::make_encoded(rng, 5, cols, b, code);
        const CqTensor t = decode_or_die(e);
        const std::vector<double> ref = cqref::dense(e);
        const std::vector<float> d = vorpel::cq::dense(t);
        ASSERT_EQ(d.size(), ref.size());
        const std::string what = describe(e, seed, level);
        for (uint64_t r = 0; r < e.rows; ++r) {
          // Each true weight is a signed sum of b rotated weights.
          double l1 = 0;
          for (uint64_t j = 0; j < e.padded; ++j) l1 = std::max(l1, std::fabs(e.rotated(r, j)));
          const double bound = 1.2e-7 * (std::log2(double(b)) + 2) * l1 * std::sqrt(double(b));
          for (uint64_t j = 0; j < cols; ++j)
            ASSERT_NEAR(d[r * cols + j], ref[r * cols + j], bound) << what << " r " << r << " j " << j;
        }
        std::vector<float> row(cols + 1, kSentinel);
        vorpel::cq::dequantize_row(t, 4, std::span(row).first(cols));
        ASSERT_EQ(row[cols], kSentinel);
        for (uint64_t j = 0; j < cols; ++j) ASSERT_EQ(row[j], d[4 * cols + j]);
        // Column j of the dense matrix is the product with unit vector j.
        std::vector<float> unit(cols, 0.0f), y(e.rows);
        for (uint64_t j = 0; j < cols; ++j) {
          unit[j] = 1.0f;
          vorpel::cq::matvec(t, unit, y);
          unit[j] = 0.0f;
          for (uint64_t r = 0; r < e.rows; ++r) {
            double mag = 0;
            for (uint64_t q = 0; q < e.padded; ++q) mag += std::fabs(e.rotated(r, q));
            ASSERT_NEAR(y[r], d[r * cols + j], 1.2e-7 * 64 * mag / std::sqrt(double(b)) + 1e-12)
                << what << " column " << j;
          }
        }
      }
    }
  }
}

TEST(CqProducts, SelectedRowsAndDecodedRowsKeepTheirValues) {
  // select_rows repacks rows from anywhere in the groups (repeats included);
  // decode_row is dequantize_row with a caller's buffer.
  unsigned seed = 8080;
  for (auto level : cqref::levels()) {
    cqref::LevelGuard g(level);
    for (uint8_t code : {2, 3, 4, 5}) {
      for (uint64_t b : {8u, 32u}) {
        std::mt19937 rng(++seed);
        const cqref::Encoded e = cqref::make_encoded(rng, 70, 2 * b + 3, b, code);
        const CqTensor t = decode_or_die(e);
        const std::string what = describe(e, seed, level);
        const std::vector<uint64_t> pick = {69, 0, 33, 33, 16, 31, 32, 5, 64, 15, 1, 47, 2, 3, 4, 6, 7, 8, 9,
                                            10, 11, 12, 13, 14, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28};
        const CqTensor s = vorpel::cq::select_rows(t, pick);
        ASSERT_EQ(s.rows(), pick.size());
        const std::vector<float> d = vorpel::cq::dense(t), ds = vorpel::cq::dense(s);
        std::vector<float> row(e.cols), buf(t.padded_cols());
        for (size_t i = 0; i < pick.size(); ++i) {
          ASSERT_EQ(s.scale(i, 1), t.scale(pick[i], 1)) << what;
          for (uint64_t j = 0; j < e.cols; ++j) ASSERT_EQ(ds[i * e.cols + j], d[pick[i] * e.cols + j]) << what;
          vorpel::cq::decode_row(s, i, row.data(), buf.data());
          for (uint64_t j = 0; j < e.cols; ++j) ASSERT_EQ(row[j], d[pick[i] * e.cols + j]) << what;
        }
        // Products of the selection: row i of s is row pick[i] of t.
        const std::vector<float> x = cqref::random_x(rng, e.cols);
        std::vector<float> y(t.rows()), ys(s.rows());
        vorpel::cq::matvec(t, x, y);
        vorpel::cq::matvec(s, x, ys);
        for (size_t i = 0; i < pick.size(); ++i) ASSERT_EQ(ys[i], y[pick[i]]) << what << " row " << i;
      }
    }
  }
}

TEST(CqProducts, LevelsAgreeWithinRounding) {
  if (cqref::levels().size() < 2) GTEST_SKIP() << "only the portable path";
  std::mt19937 rng(5150);
  const cqref::Encoded e = cqref::make_encoded(rng, 33, 900, 64, 4);
  const CqTensor t = decode_or_die(e);
  const std::vector<float> x = cqref::random_x(rng, e.cols);
  std::vector<std::vector<float>> ys;
  for (auto level : cqref::levels()) {
    cqref::LevelGuard g(level);
    ys.emplace_back(e.rows);
    vorpel::cq::matvec(t, x, ys.back());
  }
  for (size_t l = 1; l < ys.size(); ++l)
    for (uint64_t r = 0; r < e.rows; ++r) ASSERT_NEAR(ys[l][r], ys[0][r], 1e-4 * (1 + std::fabs(ys[0][r])));
}

TEST(CqProducts, PreconditionsPanic) {
  std::mt19937 rng(1);
  const cqref::Encoded e = cqref::make_encoded(rng, 10, 20, 8, 4);
  const CqTensor t = decode_or_die(e);
  std::vector<float> x(20), x_rot(24), y(10), y11(11), out(40);
  std::vector<float> x19(19), x_rot23(23);
  using vorpel::Panic;
  EXPECT_THROW(vorpel::cq::rotate_input(t, x19, x_rot), Panic);
  EXPECT_THROW(vorpel::cq::rotate_input(t, x, x_rot23), Panic);
  EXPECT_THROW(vorpel::cq::matvec(t, x19, y), Panic);
  EXPECT_THROW(vorpel::cq::matvec(t, x, y11), Panic);
  EXPECT_THROW(vorpel::cq::row_kernel(t, x_rot, 1, y), Panic);
  EXPECT_THROW(vorpel::cq::row_kernel(t, x_rot23, 0, y), Panic);
  EXPECT_THROW(vorpel::cq::row_kernel(t, x_rot, ~uint64_t{0}, std::span(y).first(2)), Panic);
  EXPECT_THROW(vorpel::cq::matvec_rotated(t, x_rot, 5, std::span(y).first(6)), Panic);
  EXPECT_THROW(vorpel::cq::matmul_batch(t, x_rot, 2, 0, 10, out), Panic);     // one vector given
  EXPECT_THROW(vorpel::cq::matmul_batch(t, x_rot, 1, 0, 11, out), Panic);     // rows out of range
  EXPECT_THROW(vorpel::cq::matmul_batch(t, x_rot, 1, 0, 10, std::span(out).first(9)), Panic);
  EXPECT_NO_THROW(vorpel::cq::matvec(t, x, std::span(y).first(0)));
  EXPECT_NO_THROW(vorpel::cq::matmul_batch(t, x_rot, 0, 0, 10, out));
}

}  // namespace

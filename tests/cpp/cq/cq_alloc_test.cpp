// The rotated-input products must not allocate, split over the pool or not:
// they run about a hundred times per decoded token. Counts every operator new
// in this test binary.
#include <gtest/gtest.h>

#include <random>

#include "count_allocations.hpp"
#include "cq_reference.hpp"
#include "vorpel/cq/cq_kernels.hpp"
#include "vorpel/pool/worker_pool.hpp"

namespace {

using alloctest::g_allocations;

TEST(CqAlloc, RotatedProductsAllocateNothing) {
  std::mt19937 rng(31337);
  // 256 x 8192 splits over the pool (when it has more than one thread); 64 x 576 does not.
  for (auto [rows, cols] : {std::pair<uint64_t, uint64_t>{256, 8192}, {64, 576}}) {
    const cqref::Encoded e = cqref::make_encoded(rng, rows, cols, 64, 4);
    auto t = vorpel::cq::decode(e.bytes, e.rows, e.cols, e.b, e.code, e.codebook);
    ASSERT_TRUE(t);
    std::vector<float> x = cqref::random_x(rng, cols), x_rot(t->padded_cols()), y(rows);
    vorpel::cq::rotate_input(*t, x, x_rot);
    vorpel::cq::matvec_rotated(*t, x_rot, 0, y);  // creates the pool on first use
    for (auto level : cqref::levels()) {
      cqref::LevelGuard g(level);
      const size_t before = g_allocations.load();
      for (int i = 0; i < 10; ++i) {
        vorpel::cq::matvec_rotated(*t, x_rot, 0, y);
        vorpel::cq::row_kernel(*t, x_rot, 1, std::span(y).first(rows - 1));
        vorpel::cq::rotate_input(*t, x, x_rot);
      }
      EXPECT_EQ(g_allocations.load(), before) << "rows " << rows << " level " << static_cast<int>(level);
    }
  }
}

TEST(CqAlloc, ParallelForWithWideClosureAllocatesNothing) {
  std::vector<std::atomic<uint64_t>> sums(8);
  uint64_t a = 1, b = 2, c = 3, d = 4, e = 5;
  vorpel::pool::parallel_for(8, [&](size_t i) { sums[i] += a + b + c + d + e; });  // pool warm-up
  const size_t before = g_allocations.load();
  for (int rep = 0; rep < 50; ++rep)
    vorpel::pool::parallel_for(8, [&](size_t i) { sums[i] += a + b + c + d + e + i; });
  EXPECT_EQ(g_allocations.load(), before);
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(sums[i].load(), 15u + 50u * (15u + i));
}

}  // namespace

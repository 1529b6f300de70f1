// Grouped products: every output equals the product run on its own, bit for
// bit, whatever the pool size (ctest runs this binary with 1 and 2 threads).
#include <gtest/gtest.h>

#include <random>

#include "cq/cq_reference.hpp"
#include "vorpel/cq/cq_kernels.hpp"
#include "vorpel/cq/product_group.hpp"

namespace {

TEST(ProductGroup, EqualsEachProductAlone) {
  std::mt19937 rng(77);
  for (int trial = 0; trial < 6; ++trial) {
    // Shapes from tiny (stays serial) to large enough to split.
    const uint64_t cols = trial % 2 ? 576 : 200, rows_base = trial < 2 ? 8 : 700;
    std::vector<cqref::Encoded> enc;
    std::vector<vorpel::cq::CqTensor> ts;
    for (int p = 0; p < 4; ++p) {
      enc.push_back(cqref::make_encoded(rng, rows_base + 37 * p, cols, 64 >> (p % 2), uint8_t(2 + (p + trial) % 4)));
      auto t = vorpel::cq::decode(enc.back().bytes, enc.back().rows, enc.back().cols, enc.back().b,
                                  enc.back().code, enc.back().codebook);
      ASSERT_TRUE(t);
      ts.push_back(std::move(*t));
    }
    std::normal_distribution<float> nd;
    std::vector<float> x(cols);
    for (auto& v : x) v = nd(rng);
    std::vector<std::vector<float>> rot(4), want(4), got(4);
    std::vector<vorpel::cq::Product> group;
    for (size_t p = 0; p < 4; ++p) {
      rot[p].resize(ts[p].padded_cols());
      vorpel::cq::rotate_input(ts[p], x, rot[p]);
      const uint64_t first = p, count = ts[p].rows() - p;  // offset row ranges
      want[p].resize(count);
      got[p].assign(count, -1.0f);
      vorpel::cq::row_kernel(ts[p], rot[p], first, want[p]);
      group.push_back({&ts[p], rot[p], first, got[p]});
    }
    vorpel::cq::matvec_group(group);
    for (size_t p = 0; p < 4; ++p) EXPECT_EQ(got[p], want[p]) << "trial " << trial << " product " << p;
  }
}

}  // namespace

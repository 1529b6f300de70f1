// Several matrix-vector products run in one parallel region: a decode step's
// projections of one input (q, k, v, gate) are each too small to split on
// their own, but together they give every worker a share.
#pragma once

#include <cstdint>
#include <span>

#include "vorpel/cq/cq_tensor.hpp"

namespace vorpel::cq {

// Rows [first, first + y.size()) of *t applied to the rotated input x_rot.
struct Product {
  const CqTensor* t;
  std::span<const float> x_rot;
  uint64_t first;
  std::span<float> y;
};

// Runs every product (at most 16). The rows of all products are cut into chunks of whole
// rows (multiples of 16, so no two threads write one cache line of outputs),
// balanced by multiply-adds and spread over the worker pool in one region;
// small groups stay on the calling thread. Each row is computed by one
// row-kernel call, so results equal running the products one by one.
void matvec_group(std::span<const Product> products);

}  // namespace vorpel::cq

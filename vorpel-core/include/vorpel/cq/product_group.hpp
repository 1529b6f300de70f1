// Several matrix-vector products run in one parallel region: a decode step's
// projections of one input (q, k, v, gate) are each too small to split on
// their own, but together they give every worker a share.
#pragma once

#include <cstdint>
#include <span>

#include "vorpel/cq/cq_kernels.hpp"
#include "vorpel/cq/cq_tensor.hpp"
#include "vorpel/cq/rotated_input.hpp"

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

// The products (at most 16) of one batch of n inputs x (stride floats apart),
// every output as matmul_batch writes it. Tensors that read one rotation (same
// block and width) share it and one parallel region; otherwise each product
// gets the rotation of its block, one call each (a lone product: matmul_batch).
// A single input takes the matrix-vector kernels.
void batch_products(std::span<const BatchProduct> products, RotatedBatch& rot, const float* x, uint64_t n,
                    uint64_t stride);

}  // namespace vorpel::cq

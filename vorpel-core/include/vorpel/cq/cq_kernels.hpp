// Products with CQ matrices. Inputs are rotated (blockwise normalised FWHT)
// once, then each row is a sum over blocks of scale * (codebook values . x_rot).
// Every size mismatch or out-of-range row is a vorpel::Panic.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "vorpel/cq/cq_tensor.hpp"

namespace vorpel::cq {

// Writes the cols true weights of row r into out[0, cols); out.size() >= cols.
void dequantize_row(const CqTensor& t, uint64_t r, std::span<float> out);

// Same values as dequantize_row, with buf (padded_cols floats) as the work
// area instead of a temporary, so per-token row fetches (embeddings, engram
// tables) allocate nothing. out holds at least cols floats.
void decode_row(const CqTensor& t, uint64_t r, float* out, float* buf);

// The whole matrix, rows * cols floats, row-major.
std::vector<float> dense(const CqTensor& t);

// x_rot = x zero-padded to padded_cols, then FWHT per block of b.
// x.size() must equal cols and x_rot.size() must equal padded_cols.
void rotate_input(const CqTensor& t, std::span<const float> x, std::span<float> x_rot);

// Serial: y[i] = row (first_row + i) . x_rot for i < y.size(). Allocates nothing.
void row_kernel(const CqTensor& t, std::span<const float> x_rot, uint64_t first_row,
                std::span<float> y);

// Same rows, split over the worker pool when large (>= 64 rows and more than
// 196607 multiply-adds: T chunks of whole 32-row groups). Every row gets the
// same bits as from row_kernel. Allocates nothing.
void matvec_rotated(const CqTensor& t, std::span<const float> x_rot, uint64_t first_row,
                    std::span<float> y);

// y[r] = row r . x for r < y.size() <= rows; x.size() == cols.
void matvec(const CqTensor& t, std::span<const float> x, std::span<float> y);

// x_rot holds n rotated vectors of padded_cols floats each (n * padded_cols);
// out[j * count + i] = row (first_row + i) applied to vector j (out.size() >= n * count).
void matmul_batch(const CqTensor& t, std::span<const float> x_rot, uint64_t n,
                  uint64_t first_row, uint64_t count, std::span<float> out);

// One product of matmul_batch_many: rows [first_row, first_row + count) of t,
// written as matmul_batch writes them.
struct BatchProduct {
  const CqTensor* t;
  uint64_t first_row, count;
  std::span<float> out;
};

// Several products of the same n rotated vectors (every tensor with the same
// padded_cols) in one parallel region instead of one each. Each output is
// computed whole by one thread, so results equal separate matmul_batch calls.
void matmul_batch_many(std::span<const BatchProduct> products, std::span<const float> x_rot, uint64_t n);

}  // namespace vorpel::cq

// Private interface between the 4-bit product dispatcher and its
// per-instruction-set kernels.
#pragma once

#include <cstdint>

namespace vorpel::v1::detail {

struct QView {
  const uint8_t* packed;  // (ceil(in / 2), out)
  const float* scales;    // (ceil(in / 32), out)
  uint64_t in, out;
};

// The signed value of the low or high nibble of b.
inline int lo_nibble(uint8_t b) { return static_cast<int>(static_cast<int8_t>(static_cast<uint8_t>(b << 4)) >> 4); }
inline int hi_nibble(uint8_t b) { return static_cast<int>(static_cast<int8_t>(b) >> 4); }

// Y[m][c] = sum_r X[m][r] q[r][c] s[r / 32][c] for m < rows and columns
// [c0, c1); x is (rows, in) and y (rows, out), the columns overwritten. Every
// path sums a group's 32 products first and adds group x scale to the total.
void products_portable(const QView& v, const float* x, uint64_t rows, uint64_t c0, uint64_t c1, float* y);
void products_avx2(const QView& v, const float* x, uint64_t rows, float* y);
void products_avx512(const QView& v, const float* x, uint64_t rows, float* y);

}  // namespace vorpel::v1::detail

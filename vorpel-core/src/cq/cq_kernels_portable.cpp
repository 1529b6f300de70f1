// Plain C++ CQ kernels, four lanes wide (the compiler vectorises the lane
// loops with the baseline instruction set). 2- and 4-bit codes go through the
// byte lookup table; 3-bit codes are cut out of the bit stream one by one.
#include <cstring>

#include "cq_internal.hpp"

namespace vorpel::cq::detail {
namespace {

// Lane sums of one block of one row: part[t] collects positions t mod 4.
inline void block_dot(const View& v, const uint8_t* row, uint64_t blk, const float* x, float part[4]) {
  const uint64_t b = v.b;
  const float* xb = x + blk * b;
  if (v.bits == 2) {
    const uint8_t* p = row + blk * (b / 4);
    for (uint64_t q = 0; q < b / 4; ++q) {
      const float* l = v.lut + 4 * static_cast<uint32_t>(p[q]);
      for (int t = 0; t < 4; ++t) part[t] += l[t] * xb[4 * q + t];
    }
  } else if (v.bits == 4) {
    const uint8_t* p = row + blk * (b / 2);
    for (uint64_t q = 0; q < b / 4; ++q) {
      const float* l0 = v.lut + 2 * static_cast<uint32_t>(p[2 * q]);
      const float* l1 = v.lut + 2 * static_cast<uint32_t>(p[2 * q + 1]);
      const float w[4] = {l0[0], l0[1], l1[0], l1[1]};
      for (int t = 0; t < 4; ++t) part[t] += w[t] * xb[4 * q + t];
    }
  } else {
    // Eight 3-bit codes fill exactly three bytes, and blocks hold whole groups of 8.
    const uint8_t* p = row + blk * (b / 8) * 3;
    for (uint64_t g = 0; g < b / 8; ++g, p += 3) {
      const uint32_t word = p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16);
      float w[8];
      for (int t = 0; t < 8; ++t) w[t] = v.cv[(word >> (3 * t)) & 7];
      for (int t = 0; t < 4; ++t) part[t] += w[t] * xb[8 * g + t];
      for (int t = 0; t < 4; ++t) part[t] += w[4 + t] * xb[8 * g + 4 + t];
    }
  }
}

}  // namespace

void rows_portable(const View& v, const float* x_rot, uint64_t first, uint64_t count, float* y) {
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t r = first + i;
    const uint8_t* row = v.codes + r * v.row_bytes;
    const float* s = v.scales + r * v.bpr;
    float acc[4] = {0, 0, 0, 0};
    for (uint64_t blk = 0; blk < v.bpr; ++blk) {
      float part[4] = {0, 0, 0, 0};
      block_dot(v, row, blk, x_rot, part);
      for (int t = 0; t < 4; ++t) acc[t] += s[blk] * part[t];
    }
    y[i] = (acc[0] + acc[1]) + (acc[2] + acc[3]);
  }
}

void expand_portable(const View& v, uint64_t r, float* dst) {
  const uint8_t* row = v.codes + r * v.row_bytes;
  const float* s = v.scales + r * v.bpr;
  const uint32_t mask = (1u << v.bits) - 1;
  for (uint64_t blk = 0; blk < v.bpr; ++blk) {
    const float sc = s[blk];
    for (uint64_t t = 0; t < v.b; ++t) {
      const uint64_t j = blk * v.b + t;
      uint32_t code;
      if (v.bits == 3) {
        code = code3(row, j);
      } else {
        const uint64_t bit = j * v.bits;
        code = (row[bit >> 3] >> (bit & 7)) & mask;
      }
      dst[j] = v.cv[code] * sc;
    }
  }
}

void batch_portable(const View& v, const float* x, uint64_t nvec, uint64_t first, uint64_t count,
                    float* out, uint64_t out_stride, float* buf) {
  const uint64_t pc = v.padded_cols;
  for (uint64_t i0 = 0; i0 < count; i0 += kBatchRows) {
    const uint64_t nr = count - i0 < kBatchRows ? count - i0 : kBatchRows;
    for (uint64_t k = 0; k < nr; ++k) expand_portable(v, first + i0 + k, buf + k * pc);
    for (uint64_t j = 0; j < nvec; ++j) {
      const float* xj = x + j * pc;
      for (uint64_t k = 0; k < nr; ++k) {
        const float* w = buf + k * pc;
        float acc[4] = {0, 0, 0, 0};
        for (uint64_t c = 0; c < pc; c += 4)
          for (int t = 0; t < 4; ++t) acc[t] += w[c + t] * xj[c + t];
        out[j * out_stride + i0 + k] = (acc[0] + acc[1]) + (acc[2] + acc[3]);
      }
    }
  }
}

}  // namespace vorpel::cq::detail

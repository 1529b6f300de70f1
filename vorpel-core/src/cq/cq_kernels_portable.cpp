// Plain C++ CQ kernels on the row-group layout: the reference for the SIMD
// ones and the fallback without AVX2. Codes are cut out of each row's lane
// words one by one; sums follow the same pattern as the SIMD kernels (four
// partial sums per block, positions s mod 4).
#include "cq_internal.hpp"
#include "vorpel/core/half.hpp"

namespace vorpel::cq::detail {

void rows_portable(const View& v, const float* x_rot, uint64_t first, uint64_t count, float* y) {
  const uint32_t bits = v.bits, mask = (1u << bits) - 1;
  const uint64_t tiles = v.b / kTileCols, tile_bytes = kGroupRows * bits;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t r = first + i, g = r / kGroupRows, lane = r % kGroupRows;
    float acc = 0;
    for (uint64_t k = 0; k < v.bpr; ++k) {
      const uint8_t* block = block_at(v, g, k);
      const uint8_t* tile = block + kScaleBytes;
      const float* x = x_rot + k * v.b;
      float part[4] = {0, 0, 0, 0};
      for (uint64_t q = 0; q < tiles; ++q, tile += tile_bytes, x += kTileCols) {
        const uint32_t w = lane_word(tile, lane, bits);
        for (uint32_t s = 0; s < kTileCols; ++s) part[s & 3] += v.cv[(w >> (bits * s)) & mask] * x[s];
      }
      acc += half_to_float(lane_scale(block, lane)) * ((part[0] + part[1]) + (part[2] + part[3]));
    }
    y[i] = acc;
  }
}

void expand_row(const View& v, uint64_t r, float* dst) {
  const uint32_t bits = v.bits, mask = (1u << bits) - 1;
  const uint64_t tiles = v.b / kTileCols, tile_bytes = kGroupRows * bits;
  const uint64_t g = r / kGroupRows, lane = r % kGroupRows;
  for (uint64_t k = 0; k < v.bpr; ++k) {
    const uint8_t* block = block_at(v, g, k);
    const uint8_t* tile = block + kScaleBytes;
    const float sc = half_to_float(lane_scale(block, lane));
    for (uint64_t q = 0; q < tiles; ++q, tile += tile_bytes, dst += kTileCols) {
      const uint32_t w = lane_word(tile, lane, bits);
      for (uint32_t s = 0; s < kTileCols; ++s) dst[s] = v.cv[(w >> (bits * s)) & mask] * sc;
    }
  }
}

// One row expanded at a time, then one sequential dot product per vector.
void batch_portable(const View& v, const float* x, uint64_t nvec, uint64_t first, uint64_t count,
                    float* out, uint64_t out_stride, float* panel) {
  const uint64_t pc = v.padded_cols;
  for (uint64_t i = 0; i < count; ++i) {
    expand_row(v, first + i, panel);
    for (uint64_t j = 0; j < nvec; ++j) {
      const float* xj = x + j * pc;
      float acc = 0;
      for (uint64_t c = 0; c < pc; ++c) acc += panel[c] * xj[c];
      out[j * out_stride + i] = acc;
    }
  }
}

}  // namespace vorpel::cq::detail

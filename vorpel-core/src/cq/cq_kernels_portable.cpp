// Plain C++ CQ kernels on the row-group layout: the reference for the SIMD
// ones and the fallback without AVX2. 2- and 4-bit code bytes select ready
// values from the byte lookup table; 3-bit codes are cut out of each row's
// lane word. Sums follow the pattern of the SIMD kernels (four partial sums
// per block, positions s mod 4).
#include "cq_internal.hpp"
#include "vorpel/core/half.hpp"

namespace vorpel::cq::detail {
namespace {

// The 8 code values of a row's lane in a tile.
template <uint32_t BITS>
inline void lane_values(const View& v, const uint8_t* tile, uint64_t lane, float* w) {
  const uint8_t* p = tile + lane * BITS;
  if constexpr (BITS == 3) {
    const uint32_t word = lane_word(tile, lane, 3);
    for (uint32_t s = 0; s < kTileCols; ++s) w[s] = v.cv[(word >> (3 * s)) & 7];
  } else {
    constexpr uint32_t k = 8 / BITS;  // codes per byte
    for (uint32_t i = 0; i < BITS; ++i)
      for (uint32_t c = 0; c < k; ++c) w[i * k + c] = v.lut[p[i] * k + c];
  }
}

template <uint32_t BITS>
void rows_bits(const View& v, const float* x_rot, uint64_t first, uint64_t count, float* y) {
  const uint64_t tiles = v.b / kTileCols, tile_bytes = kGroupRows * BITS;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t r = first + i, g = r / kGroupRows, lane = r % kGroupRows;
    float acc = 0;
    for (uint64_t k = 0; k < v.bpr; ++k) {
      const uint8_t* block = block_at(v, g, k);
      const uint8_t* tile = block + kScaleBytes;
      const float* x = x_rot + k * v.b;
      float part[4] = {0, 0, 0, 0};
      for (uint64_t q = 0; q < tiles; ++q, tile += tile_bytes, x += kTileCols) {
        float w[kTileCols];
        lane_values<BITS>(v, tile, lane, w);
        for (uint32_t s = 0; s < kTileCols; ++s) part[s & 3] += w[s] * x[s];
      }
      acc += half_to_float(lane_scale(block, lane)) * ((part[0] + part[1]) + (part[2] + part[3]));
    }
    y[i] = acc;
  }
}

template <uint32_t BITS>
void expand_bits(const View& v, uint64_t r, float* dst) {
  const uint64_t tiles = v.b / kTileCols, tile_bytes = kGroupRows * BITS;
  const uint64_t g = r / kGroupRows, lane = r % kGroupRows;
  for (uint64_t k = 0; k < v.bpr; ++k) {
    const uint8_t* block = block_at(v, g, k);
    const uint8_t* tile = block + kScaleBytes;
    const float sc = half_to_float(lane_scale(block, lane));
    for (uint64_t q = 0; q < tiles; ++q, tile += tile_bytes, dst += kTileCols) {
      float w[kTileCols];
      lane_values<BITS>(v, tile, lane, w);
      for (uint32_t s = 0; s < kTileCols; ++s) dst[s] = w[s] * sc;
    }
  }
}

}  // namespace

void rows_portable(const View& v, const float* x_rot, uint64_t first, uint64_t count, float* y) {
  switch (v.bits) {
    case 2: rows_bits<2>(v, x_rot, first, count, y); break;
    case 3: rows_bits<3>(v, x_rot, first, count, y); break;
    default: rows_bits<4>(v, x_rot, first, count, y); break;
  }
}

void expand_row(const View& v, uint64_t r, float* dst) {
  switch (v.bits) {
    case 2: expand_bits<2>(v, r, dst); break;
    case 3: expand_bits<3>(v, r, dst); break;
    default: expand_bits<4>(v, r, dst); break;
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

// Plain C++ CQ kernels on the row-group layout: the reference for the SIMD
// ones and the fallback without AVX2. 2- and 4-bit code bytes select ready
// values from the byte lookup table; 3-bit codes (a nibble each) are cut out
// of each row's lane word. Sums follow the pattern of the SIMD kernels (four
// partial sums per block, positions s mod 4).
#include "cq_internal.hpp"
#include "vorpel/core/half.hpp"

namespace vorpel::cq::detail {
namespace {

// The 8 code values of a row's lane in a tile (BITS: lane bits per code).
template <uint32_t BITS>
inline void lane_values(const View& v, const uint8_t* tile, uint64_t lane, float* w) {
  const uint8_t* p = tile + lane * BITS;
  if (v.lut == nullptr) {
    const uint32_t word = lane_word(tile, lane, BITS);
    for (uint32_t s = 0; s < kTileCols; ++s) w[s] = v.cv[(word >> (BITS * s)) & ((1u << BITS) - 1)];
    return;
  }
  constexpr uint32_t k = 8 / BITS;  // codes per byte
  for (uint32_t i = 0; i < BITS; ++i)
    for (uint32_t c = 0; c < k; ++c) w[i * k + c] = v.lut[p[i] * k + c];
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
  if (v.bits == 2) return rows_bits<2>(v, x_rot, first, count, y);
  rows_bits<4>(v, x_rot, first, count, y);
}

void expand_row(const View& v, uint64_t r, float* dst) {
  if (v.bits == 2) return expand_bits<2>(v, r, dst);
  expand_bits<4>(v, r, dst);
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

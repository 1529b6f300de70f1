// Private interface between the CQ dispatcher and its per-instruction-set
// kernels: the row-group layout of the packed codes, a flat view of one
// tensor, and the kernel entry points.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorpel::cq::detail {

// Rows are packed in groups of 32 (the last group padded with zero codes and
// zero scales). A group is blocks_per_row block records, one after another:
//   scales: 32 binary16 values, one per row of the group          (64 bytes)
//   tiles:  b / 8 tiles; tile u holds columns 8u..8u+7 of the block as 32
//           lanes of L bytes, lane i = row i of the group          (32 * L bytes)
// L is the lane width in bits of one code: 2 for 2-bit and ternary codes, 4
// for 3- and 4-bit codes (3-bit codes get a nibble each, so that they run
// the 4-bit kernels: unpacking 3-byte lanes costs more than the bytes saved).
// A lane holds its 8 codes as a little-endian word with code s at bits s*L..,
// which for L = bits is exactly the row's encoded bytes: a tile is then a
// byte transpose of 32 encoded rows. One product reads one sequential stream,
// a 16-lane register load yields 16 rows of one column group, and each input
// value is broadcast once for all rows.
inline constexpr uint64_t kGroupRows = 32;
inline constexpr uint64_t kScaleBytes = 2 * kGroupRows;
inline constexpr uint64_t kTileCols = 8;

// Zero bytes kept after the last group, so that no read near the end of the
// stream (a prefetch aside) can leave the buffer.
inline constexpr size_t kPackSlack = 64;

// Lane bits per code for a code width.
inline uint32_t lane_bits_of(uint32_t bits) { return bits == 3 ? 4 : bits; }

inline uint64_t block_bytes_of(uint64_t b, uint32_t lane_bits) {
  return kScaleBytes + b / kTileCols * kGroupRows * lane_bits;
}

struct View {
  const uint8_t* packed;  // groups * group_bytes (+ slack)
  const float* lut;       // 256 * codes per byte: the values of each byte's codes; null for 3-bit codes
  float cv[16];           // value of each code (the rest zero)
  uint64_t rows, b, bpr, padded_cols;
  uint64_t block_bytes;   // 64 + 4 * b * lane bits
  uint64_t group_bytes;   // bpr * block_bytes
  uint32_t bits;          // lane bits per code: 2 or 4
};

inline const uint8_t* block_at(const View& v, uint64_t group, uint64_t k) {
  return v.packed + group * v.group_bytes + k * v.block_bytes;
}

// The L bytes of row `lane` in a tile, as a little-endian word.
inline uint32_t lane_word(const uint8_t* tile, uint64_t lane, uint32_t lane_bits) {
  const uint8_t* p = tile + lane * lane_bits;
  uint32_t w = 0;
  for (uint32_t i = 0; i < lane_bits; ++i) w |= static_cast<uint32_t>(p[i]) << (8 * i);
  return w;
}

// The binary16 scale of row `lane` in a block record.
inline uint16_t lane_scale(const uint8_t* block, uint64_t lane) {
  return static_cast<uint16_t>(block[2 * lane] | (block[2 * lane + 1] << 8));
}

// y[i] = row (first + i) . x_rot, i < count. Every row is computed the same
// way whichever rows share its pass, so any split of a range gives the same bits.
void rows_portable(const View& v, const float* x_rot, uint64_t first, uint64_t count, float* y);
void rows_avx2(const View& v, const float* x_rot, uint64_t first, uint64_t count, float* y);
void rows_avx512(const View& v, const float* x_rot, uint64_t first, uint64_t count, float* y);

// Rotated-domain weights of row r with scales applied: padded_cols floats.
void expand_row(const View& v, uint64_t r, float* dst);

// Batched product for rows [first, first + count) and nvec vectors:
// out[j * out_stride + i] = row (first + i) . x[j * padded_cols ..]. Each
// output is one chain of multiply-adds over the columns in order, whatever
// the tile it is computed in. `panel` holds kGroupRows * padded_cols floats.
void batch_portable(const View& v, const float* x, uint64_t nvec, uint64_t first, uint64_t count,
                    float* out, uint64_t out_stride, float* panel);
void batch_avx2(const View& v, const float* x, uint64_t nvec, uint64_t first, uint64_t count,
                float* out, uint64_t out_stride, float* panel);
void batch_avx512(const View& v, const float* x, uint64_t nvec, uint64_t first, uint64_t count,
                  float* out, uint64_t out_stride, float* panel);

}  // namespace vorpel::cq::detail

// Private interface between the CQ dispatcher and its per-instruction-set
// kernels: a flat view of one tensor and the kernel entry points.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorpel::cq::detail {

// Zero bytes kept after the last code row: the SIMD decoders read a whole
// 4- or 8-byte word for a group of 8 or 16 codes that may use fewer bytes.
inline constexpr size_t kCodeSlack = 16;

// Code j of a 3-bit row: bits 3j..3j+2 of the row's LSB-first bit stream; the
// code continues into the next byte when it starts at bit 6 or 7.
inline uint32_t code3(const uint8_t* row, uint64_t j) {
  const uint64_t bit = j * 3;
  const uint64_t byte = bit >> 3;
  const uint32_t shift = static_cast<uint32_t>(bit & 7);
  uint32_t combined = row[byte];
  if (shift + 3 >= 9) combined |= static_cast<uint32_t>(row[byte + 1]) << 8;
  return (combined >> shift) & 7;
}

struct View {
  const uint8_t* codes;   // rows * row_bytes (+ slack)
  const float* scales;    // rows * bpr
  const float* lut;       // 256 * codes per byte, or null for 3-bit
  float cv[16];           // value of each code (first 2^bits used)
  uint64_t row_bytes, bpr, b, padded_cols;
  uint32_t bits;          // bits per code: 2, 3 or 4
};

// y[i] = row (first + i) . x_rot, i < count.
void rows_portable(const View& v, const float* x_rot, uint64_t first, uint64_t count, float* y);
void rows_avx2(const View& v, const float* x_rot, uint64_t first, uint64_t count, float* y);
void rows_avx512(const View& v, const float* x_rot, uint64_t first, uint64_t count, float* y);

// Rotated-domain weights of row r with scales applied: padded_cols floats.
void expand_portable(const View& v, uint64_t r, float* dst);
void expand_avx2(const View& v, uint64_t r, float* dst);
void expand_avx512(const View& v, uint64_t r, float* dst);

// Serial batched product for rows [first, first + count) and nvec vectors:
// out[j * out_stride + i] = row (first + i) . x[j * padded_cols ..].
// `buf` holds kBatchRows * padded_cols floats.
inline constexpr uint64_t kBatchRows = 4;
void batch_portable(const View& v, const float* x, uint64_t nvec, uint64_t first, uint64_t count,
                    float* out, uint64_t out_stride, float* buf);
void batch_avx2(const View& v, const float* x, uint64_t nvec, uint64_t first, uint64_t count,
                float* out, uint64_t out_stride, float* buf);
void batch_avx512(const View& v, const float* x, uint64_t nvec, uint64_t first, uint64_t count,
                  float* out, uint64_t out_stride, float* buf);

}  // namespace vorpel::cq::detail

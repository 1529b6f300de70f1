// Private interface between the CQ dispatcher and its per-instruction-set
// kernels: a flat view of one tensor and the kernel entry points.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorpel::cq::detail {

// Zero bytes kept after the last code row: the SIMD decoders read a whole
// 4- or 8-byte word for a group of 8 or 16 codes that may use fewer bytes.
inline constexpr size_t kCodeSlack = 16;

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

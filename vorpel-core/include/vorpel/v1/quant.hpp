// Signed 4-bit linear weights of the first generation: the packed form, the
// load-time quantiser and the products y = x W computed on the packed bytes.
//
// A weight has in_features rows r and out_features columns c (the input index
// is the row). Layout, both row-major:
//   packed[(r / 2) * out + c]  row r (even) in the low nibble, row r + 1 in the
//                              high one, two's complement -8..7; when in is odd
//                              the last byte row's high nibble is 0.
//   scales[(r / 32) * out + c] one f32 per column for every 32 rows.
// Element (r, c) is nibble x scale. Group and pairing are fixed by the files.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vorpel::v1 {

inline constexpr uint64_t kQuantGroup = 32;  // rows sharing one scale in a column

class QuantLinear {
 public:
  QuantLinear() = default;

  // Sizes of the two arrays (saturating at UINT64_MAX; no real size is that).
  static uint64_t packed_bytes(uint64_t in, uint64_t out);
  static uint64_t scale_count(uint64_t in, uint64_t out);

  // Stored 4-bit data as it comes from a file. The lengths must be exactly
  // packed_bytes and scale_count (callers validate; a mismatch is a Panic).
  // An unused high nibble is cleared.
  static QuantLinear from_packed(uint64_t in, uint64_t out, std::span<const uint8_t> packed,
                                 std::vector<float> scales);
  // Quantises w (in rows of out values): per column and group of 32 rows (the
  // last one zero-padded) scale = max(|x|) / 7, at least 1e-8, NaN ignored;
  // codes by quantize_value. w.size() must be in * out.
  static QuantLinear quantize(uint64_t in, uint64_t out, std::span<const float> w);
  // Every code 0 with scale 1e-8: what quantising zeros gives.
  static QuantLinear zeros(uint64_t in, uint64_t out);

  uint64_t in_features() const { return in_; }
  uint64_t out_features() const { return out_; }
  std::span<const uint8_t> packed() const { return packed_; }
  std::span<const float> scales() const { return scales_; }
  // The nibble of element (r, c) as -8..7.
  int code(uint64_t r, uint64_t c) const;
  float scale(uint64_t r, uint64_t c) const { return scales_[(r / kQuantGroup) * out_ + c]; }
  // Bytes held (packed data and scales).
  uint64_t memory_bytes() const { return packed_.size() + scales_.size() * sizeof(float); }

 private:
  uint64_t in_ = 0, out_ = 0;
  std::vector<uint8_t> packed_;  // (ceil(in / 2), out)
  std::vector<float> scales_;    // (ceil(in / 32), out)
};

// round-half-away-from-zero(v / scale) as an integer, saturating to -8..7;
// NaN gives 0 (the float-to-integer conversion's rule, written out).
int8_t quantize_value(float v, float scale);

// y = x W: x holds in_features values, y out_features (overwritten). Mismatched
// lengths are a Panic. Results of the instruction-set paths differ only in the
// order of summation.
void matvec(const QuantLinear& w, std::span<const float> x, std::span<float> y);
// Y = X W for `rows` input rows: x is (rows, in_features), y (rows, out_features).
void matmul(const QuantLinear& w, std::span<const float> x, uint64_t rows, std::span<float> y);

}  // namespace vorpel::v1

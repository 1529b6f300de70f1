// CQ (codebook-quantised) weight matrix in memory, and its decoder.
//
// Layout of an encoded tensor (rows x cols, block size b, all little-endian):
//   codes:  rows records of row_bytes bytes; inside a row one continuous LSB-first
//           bit stream of padded_cols codes (bits each; 3-bit codes may straddle
//           bytes). Padding columns cols..padded_cols-1 carry codes that are ignored.
//   scales: rows * blocks_per_row binary16 values, row-major.
// Each block of b codes lives in the rotated (Hadamard) domain: the true weights
// of row r, block k are FWHT_b(s[r,k] * codebook[code]) / sqrt(b).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <new>
#include <span>
#include <vector>

#include "vorpel/cq/cq_error.hpp"

namespace vorpel::cq {

// Bytes aligned to a cache line, so the packed row groups start on one.
template <class T>
struct LineAllocator {
  using value_type = T;
  LineAllocator() = default;
  template <class U>
  LineAllocator(const LineAllocator<U>&) {}
  T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{64})); }
  void deallocate(T* p, size_t) { ::operator delete(p, std::align_val_t{64}); }
  friend bool operator==(const LineAllocator&, const LineAllocator&) { return true; }
};

class CqTensor {
 public:
  CqTensor() = default;  // an empty 0 x 0 tensor; only useful as a placeholder

  uint64_t rows() const { return rows_; }
  uint64_t cols() const { return cols_; }
  uint64_t padded_cols() const { return padded_cols_; }   // b * ceil(cols / b)
  uint64_t block() const { return block_; }               // b: power of two, >= 8
  uint64_t blocks_per_row() const { return blocks_per_row_; }
  uint64_t row_bytes() const { return row_bytes_; }       // bits * padded_cols / 8
  uint8_t bits_code() const { return bits_code_; }        // 2, 3, 4 or 5 (ternary)
  uint32_t bits_per_code() const { return bits_code_ == 5 ? 2u : bits_code_; }
  uint32_t codes_per_byte() const { return codes_per_byte_; }  // 4, 2 or 0 (3-bit)

  // Codes and scales repacked at decode for the kernels, in groups of 32 rows
  // (the last group padded): per block, the 32 rows' binary16 scales (64
  // bytes), then b / 8 tiles of 8 columns x 32 rows, each row's codes as a
  // little-endian word of L bits per code (L = 2 for 2-bit and ternary, 4 for
  // 3- and 4-bit codes: a 3-bit code takes a nibble). ceil(rows / 32) * 32 *
  // (L * padded_cols / 8 + 2 * blocks_per_row) bytes; see cq_internal.hpp.
  std::span<const uint8_t> codes() const { return {packed_.data(), packed_bytes_}; }
  // Scale of row r, block k, widened from binary16.
  float scale(uint64_t r, uint64_t k) const;
  // Entry v*k + p is the value of the code in position p of byte value v
  // (k = codes_per_byte): 256*k floats; empty for 3-bit codes.
  std::span<const float> lut() const { return lut_; }
  std::span<const float> codebook() const { return codebook_; }  // (4, 8, 16 or 3)

  // Packed codes and scales, lookup table and codebook.
  size_t memory_bytes() const;

 private:
  friend std::expected<CqTensor, CqError> decode(std::span<const uint8_t>, uint64_t, uint64_t,
                                                 uint64_t, uint8_t, std::span<const float>);
  friend CqTensor select_rows(const CqTensor&, std::span<const uint64_t>);
  // Packs rows * row_bytes code bytes and rows * blocks_per_row binary16
  // scales (the encoded layout) into packed_.
  void pack(const uint8_t* codes, const uint8_t* scales);

  uint64_t rows_ = 0, cols_ = 0, padded_cols_ = 0, block_ = 0;
  uint64_t blocks_per_row_ = 0, row_bytes_ = 0;
  uint8_t bits_code_ = 0;
  uint32_t codes_per_byte_ = 0;
  uint64_t packed_bytes_ = 0;
  std::vector<uint8_t, LineAllocator<uint8_t>> packed_;  // packed_bytes_, then zero slack for wide loads
  std::vector<float> lut_;
  std::vector<float> codebook_;
};

// `codebook` is the container's 28 floats (cb2 = [0, 4), cb3 = [4, 12),
// cb4 = [12, 28)); bits code 5 (ternary) builds its own and ignores it.
// Bytes beyond what the shape needs are ignored.
std::expected<CqTensor, CqError> decode(std::span<const uint8_t> bytes, uint64_t rows,
                                        uint64_t cols, uint64_t block, uint8_t bits_code,
                                        std::span<const float> codebook);

// A tensor made of the given rows of t, in the given order (a row may repeat).
// Every row must be below t.rows() and the list non-empty (panics otherwise).
CqTensor select_rows(const CqTensor& t, std::span<const uint64_t> rows);

}  // namespace vorpel::cq

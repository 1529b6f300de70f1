// Decoding of CQ tensors: validation of the parameters, sizes computed without
// overflow, codes and scales repacked into row groups, lookup tables built.
#include "vorpel/cq/cq_tensor.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <cmath>
#include <limits>

#include "cq_internal.hpp"
#include "vorpel/core/checked.hpp"
#include "vorpel/core/half.hpp"
#include "vorpel/core/panic.hpp"

namespace vorpel::cq {
namespace {

constexpr uint64_t kMax = kSaturated;

// Eight 3-bit codes (3 bytes of a row) as eight nibbles, and back.
uint32_t widen3(const uint8_t* p) {
  const uint32_t w = p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16);
  uint32_t out = 0;
  for (uint32_t s = 0; s < 8; ++s) out |= ((w >> (3 * s)) & 7) << (4 * s);
  return out;
}

void narrow3(uint32_t nibbles, uint8_t* p) {
  uint32_t w = 0;
  for (uint32_t s = 0; s < 8; ++s) w |= ((nibbles >> (4 * s)) & 7) << (3 * s);
  p[0] = static_cast<uint8_t>(w), p[1] = static_cast<uint8_t>(w >> 8), p[2] = static_cast<uint8_t>(w >> 16);
}

}  // namespace

std::string debug_string(const CqError& e) {
  switch (e.kind) {
    case CqError::Kind::UnsupportedBits:
      return "UnsupportedBits(" + std::to_string(e.value) + ")";
    case CqError::Kind::BadGroup:
      return "BadGroup(" + std::to_string(e.value) + ")";
    case CqError::Kind::BadCodebookLen:
      return "BadCodebookLen(" + std::to_string(e.value) + ")";
    case CqError::Kind::ShortBlob:
      return "ShortBlob { need: " + std::to_string(e.value) + ", got: " + std::to_string(e.got) + " }";
    case CqError::Kind::EmptyShape:
      return "EmptyShape";
  }
  return "EmptyShape";
}

size_t CqTensor::memory_bytes() const {
  return packed_.capacity() + (lut_.capacity() + codebook_.capacity()) * sizeof(float);
}

float CqTensor::scale(uint64_t r, uint64_t k) const {
  VORPEL_CHECK(r < rows_ && k < blocks_per_row_, "cq scale: index out of range");
  const uint64_t block_bytes = detail::block_bytes_of(block_, detail::lane_bits_of(bits_per_code()));
  const uint8_t* block = packed_.data() + r / detail::kGroupRows * blocks_per_row_ * block_bytes + k * block_bytes;
  return half_to_float(detail::lane_scale(block, r % detail::kGroupRows));
}

namespace {

// The rows of one group into its block records, written in order (fixed-size
// copies: this runs once per code word of every tensor at load).
template <uint32_t BITS>
void pack_group(const uint8_t* codes, uint64_t row_bytes, const uint8_t* scales, uint64_t bpr, uint64_t tiles,
                uint64_t nrows, uint8_t* dst) {
  constexpr uint32_t kLaneBits = BITS == 3 ? 4 : BITS;
  for (uint64_t k = 0; k < bpr; ++k) {
    for (uint64_t i = 0; i < nrows; ++i) std::memcpy(dst + 2 * i, scales + 2 * (i * bpr + k), 2);
    dst += detail::kScaleBytes;
    // Eight codes of BITS bits are exactly BITS whole bytes of the row;
    // 3-bit codes are widened to a nibble each.
    for (uint64_t q = 0; q < tiles; ++q, dst += detail::kGroupRows * kLaneBits) {
      const uint8_t* src = codes + (k * tiles + q) * BITS;
      for (uint64_t i = 0; i < nrows; ++i, src += row_bytes) {
        if constexpr (BITS == 3) {
          const uint32_t w = widen3(src);
          std::memcpy(dst + 4 * i, &w, 4);
        } else {
          std::memcpy(dst + BITS * i, src, BITS);
        }
      }
    }
  }
}

}  // namespace

void CqTensor::pack(const uint8_t* codes, const uint8_t* scales) {
  const uint32_t bits = bits_per_code();
  const uint64_t bpr = blocks_per_row_, tiles = block_ / detail::kTileCols;
  const uint64_t group_bytes = bpr * detail::block_bytes_of(block_, detail::lane_bits_of(bits));
  const uint64_t groups = (rows_ - 1) / detail::kGroupRows + 1;
  packed_bytes_ = groups * group_bytes;
  packed_.assign(packed_bytes_ + detail::kPackSlack, 0);
  for (uint64_t g = 0; g < groups; ++g) {
    const uint64_t r0 = g * detail::kGroupRows, n = std::min(detail::kGroupRows, rows_ - r0);
    const uint8_t* src = codes + r0 * row_bytes_;
    const uint8_t* sc = scales + 2 * r0 * bpr;
    uint8_t* dst = packed_.data() + g * group_bytes;
    switch (bits) {
      case 2: pack_group<2>(src, row_bytes_, sc, bpr, tiles, n, dst); break;
      case 3: pack_group<3>(src, row_bytes_, sc, bpr, tiles, n, dst); break;
      default: pack_group<4>(src, row_bytes_, sc, bpr, tiles, n, dst); break;
    }
  }
}

std::expected<CqTensor, CqError> decode(std::span<const uint8_t> bytes, uint64_t rows, uint64_t cols,
                                        uint64_t block, uint8_t bits_code,
                                        std::span<const float> codebook) {
  using K = CqError::Kind;
  if (rows == 0 || cols == 0) return std::unexpected(CqError{K::EmptyShape});
  if (!std::has_single_bit(block) || block % 8 != 0) return std::unexpected(CqError{K::BadGroup, block});

  // Value of each code (index = the code itself).
  std::vector<float> code_values;
  std::vector<float> used;
  uint32_t bits = 0;
  if (bits_code == 5) {
    const float c = std::bit_cast<float>(0x3F9CAC3Eu) / std::sqrt(static_cast<float>(block));
    code_values = {0.0f, c, 0.0f, -c};
    used = {-c, 0.0f, c};
    bits = 2;
  } else {
    if (codebook.size() != 28) return std::unexpected(CqError{K::BadCodebookLen, codebook.size()});
    switch (bits_code) {
      case 2: used.assign(codebook.begin(), codebook.begin() + 4); break;
      case 3: used.assign(codebook.begin() + 4, codebook.begin() + 12); break;
      case 4: used.assign(codebook.begin() + 12, codebook.begin() + 28); break;
      default: return std::unexpected(CqError{K::UnsupportedBits, bits_code});
    }
    code_values = used;
    bits = bits_code;
  }

  const uint64_t blocks_per_row = (cols - 1) / block + 1;
  const uint64_t padded_cols = sat_mul(blocks_per_row, block);
  const uint64_t row_bytes = padded_cols == kMax ? kMax : sat_mul(padded_cols / 8, bits);
  const uint64_t index_bytes = sat_mul(rows, row_bytes);
  const uint64_t scale_count = sat_mul(rows, blocks_per_row);
  const uint64_t need = sat_add(index_bytes, sat_mul(2, scale_count));
  if (bytes.size() < need) return std::unexpected(CqError{K::ShortBlob, need, bytes.size()});

  CqTensor t;
  t.rows_ = rows;
  t.cols_ = cols;
  t.padded_cols_ = padded_cols;
  t.block_ = block;
  t.blocks_per_row_ = blocks_per_row;
  t.row_bytes_ = row_bytes;
  t.bits_code_ = bits_code;
  t.codes_per_byte_ = bits == 3 ? 0 : 8 / bits;

  t.pack(bytes.data(), bytes.data() + index_bytes);

  if (t.codes_per_byte_ != 0) {
    const uint32_t k = t.codes_per_byte_;
    const uint32_t mask = (1u << bits) - 1;
    t.lut_.resize(256 * k);
    for (uint32_t v = 0; v < 256; ++v)
      for (uint32_t p = 0; p < k; ++p) t.lut_[v * k + p] = code_values[(v >> (bits * p)) & mask];
  }
  t.codebook_ = std::move(used);
  return t;
}

CqTensor select_rows(const CqTensor& t, std::span<const uint64_t> rows) {
  VORPEL_CHECK(!rows.empty(), "select_rows: no rows");
  const uint32_t bits = t.bits_per_code(), lane_bits = detail::lane_bits_of(bits);
  const uint64_t bpr = t.blocks_per_row_, rb = t.row_bytes_, tiles = t.block_ / detail::kTileCols;
  const uint64_t block_bytes = detail::block_bytes_of(t.block_, lane_bits);
  // The chosen rows back in the encoded layout, then packed afresh.
  std::vector<uint8_t> codes(rows.size() * rb), scales(rows.size() * bpr * 2);
  for (size_t i = 0; i < rows.size(); ++i) {
    VORPEL_CHECK(rows[i] < t.rows_, "select_rows: row out of range");
    const uint64_t lane = rows[i] % detail::kGroupRows;
    const uint8_t* group = t.packed_.data() + rows[i] / detail::kGroupRows * bpr * block_bytes;
    uint8_t* dst = codes.data() + i * rb;
    for (uint64_t k = 0; k < bpr; ++k) {
      const uint8_t* block = group + k * block_bytes;
      std::memcpy(scales.data() + 2 * (i * bpr + k), block + 2 * lane, 2);
      const uint8_t* tile = block + detail::kScaleBytes + lane * lane_bits;
      for (uint64_t q = 0; q < tiles; ++q, tile += detail::kGroupRows * lane_bits, dst += bits) {
        if (bits == 3)
          narrow3(detail::lane_word(tile, 0, 4), dst);
        else
          std::memcpy(dst, tile, bits);
      }
    }
  }
  CqTensor out;
  out.rows_ = rows.size();
  out.cols_ = t.cols_;
  out.padded_cols_ = t.padded_cols_;
  out.block_ = t.block_;
  out.blocks_per_row_ = bpr;
  out.row_bytes_ = rb;
  out.bits_code_ = t.bits_code_;
  out.codes_per_byte_ = t.codes_per_byte_;
  out.lut_ = t.lut_;
  out.codebook_ = t.codebook_;
  out.pack(codes.data(), scales.data());
  return out;
}

}  // namespace vorpel::cq

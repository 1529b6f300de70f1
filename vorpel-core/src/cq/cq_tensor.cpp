// Decoding of CQ tensors: validation of the parameters, sizes computed without
// overflow, code bytes copied, scales widened, lookup tables built.
#include "vorpel/cq/cq_tensor.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "cq_internal.hpp"
#include "vorpel/core/checked.hpp"
#include "vorpel/core/half.hpp"
#include "vorpel/core/panic.hpp"
#include "vorpel/core/le_bytes.hpp"

namespace vorpel::cq {
namespace {

constexpr uint64_t kMax = kSaturated;

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
  return codes_.capacity() + (scales_.capacity() + lut_.capacity() + codebook_.capacity()) * sizeof(float);
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

  // The SIMD decoders load whole words at the last code group of a row.
  t.codes_.resize(index_bytes + detail::kCodeSlack, 0);
  std::copy_n(bytes.data(), index_bytes, t.codes_.data());

  t.scales_.resize(scale_count);
  const uint8_t* sp = bytes.data() + index_bytes;
  for (uint64_t i = 0; i < scale_count; ++i) t.scales_[i] = half_to_float(load_u16(sp + 2 * i));

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
  CqTensor out = t;
  out.rows_ = rows.size();
  out.codes_.assign(rows.size() * t.row_bytes_ + detail::kCodeSlack, 0);
  out.scales_.resize(rows.size() * t.blocks_per_row_);
  for (size_t i = 0; i < rows.size(); ++i) {
    VORPEL_CHECK(rows[i] < t.rows_, "select_rows: row out of range");
    std::copy_n(t.codes_.data() + rows[i] * t.row_bytes_, t.row_bytes_, out.codes_.data() + i * t.row_bytes_);
    std::copy_n(t.scales_.data() + rows[i] * t.blocks_per_row_, t.blocks_per_row_,
                out.scales_.data() + i * t.blocks_per_row_);
  }
  return out;
}

}  // namespace vorpel::cq

// CQ decoding: every error kind and its order, size rules, lookup tables,
// and code extraction (ternary mapping, 3-bit codes across byte edges).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "cq_reference.hpp"
#include "vorpel/core/panic.hpp"
#include "vorpel/cq/cq_kernels.hpp"

namespace {

using vorpel::cq::CqError;
using vorpel::cq::decode;
using K = CqError::Kind;

std::vector<float> cb28() {
  std::vector<float> cb(28);
  for (size_t i = 0; i < 28; ++i) cb[i] = 0.25f * static_cast<float>(i) - 3.0f;
  return cb;
}

uint64_t need_of(uint64_t rows, uint64_t cols, uint64_t b, uint32_t bits) {
  const uint64_t padded = (cols + b - 1) / b * b;
  return rows * bits * padded / 8 + 2 * rows * (padded / b);
}

CqError error_of(std::span<const uint8_t> bytes, uint64_t rows, uint64_t cols, uint64_t b, uint8_t code,
                 std::span<const float> cb) {
  auto r = decode(bytes, rows, cols, b, code, cb);
  EXPECT_FALSE(r.has_value());
  return r.has_value() ? CqError{K::EmptyShape, 999, 999} : r.error();
}

TEST(CqDecode, ErrorsInOrder) {
  const std::vector<float> cb = cb28();
  const std::vector<float> cb27(27, 0.0f);
  const std::vector<uint8_t> big(1 << 16, 0);
  EXPECT_EQ(error_of(big, 0, 8, 8, 2, cb), (CqError{K::EmptyShape}));
  EXPECT_EQ(error_of(big, 4, 0, 12, 6, cb27), (CqError{K::EmptyShape}));  // shape is checked first
  EXPECT_EQ(error_of(big, 4, 8, 12, 2, cb), (CqError{K::BadGroup, 12}));
  EXPECT_EQ(error_of(big, 4, 8, 4, 2, cb), (CqError{K::BadGroup, 4}));
  EXPECT_EQ(error_of(big, 4, 8, 0, 2, cb), (CqError{K::BadGroup, 0}));
  EXPECT_EQ(error_of(big, 4, 8, 24, 6, cb27), (CqError{K::BadGroup, 24}));  // group before codebook
  EXPECT_EQ(error_of(big, 4, 8, 8, 6, cb), (CqError{K::UnsupportedBits, 6}));
  EXPECT_EQ(error_of(big, 4, 8, 8, 0, cb), (CqError{K::UnsupportedBits, 0}));
  EXPECT_EQ(error_of(big, 4, 8, 8, 2, cb27), (CqError{K::BadCodebookLen, 27}));
  EXPECT_EQ(error_of(big, 4, 8, 8, 6, cb27), (CqError{K::BadCodebookLen, 27}));  // length before code
  EXPECT_TRUE(decode(big, 4, 8, 8, 2, cb).has_value());
  // Ternary ignores the codebook entirely.
  EXPECT_TRUE(decode(big, 4, 8, 8, 5, cb27).has_value());
  EXPECT_TRUE(decode(big, 4, 8, 8, 5, {}).has_value());
}

TEST(CqDecode, ExactNeedAndShortBlob) {
  const std::vector<float> cb = cb28();
  // cols 100, b 64: padded 128, 2 blocks; 4-bit rows are 64 bytes.
  const uint64_t rows = 3;
  const uint64_t need = rows * 64 + rows * 2 * 2;
  ASSERT_EQ(need_of(rows, 100, 64, 4), need);
  std::vector<uint8_t> bytes(need, 0);
  auto t = decode(bytes, rows, 100, 64, 4, cb);
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(t->padded_cols(), 128u);
  EXPECT_EQ(t->blocks_per_row(), 2u);
  EXPECT_EQ(t->row_bytes(), 64u);
  // Packed in one group of 32 rows: per row 64 code bytes and 2 binary16 scales.
  EXPECT_EQ(t->codes().size(), 32 * (64 + 2 * 2));
  EXPECT_GE(t->memory_bytes(), need);
  EXPECT_EQ(error_of(std::span(bytes).first(need - 1), rows, 100, 64, 4, cb),
            (CqError{K::ShortBlob, need, need - 1}));
  for (uint8_t code : {2, 3, 5}) {
    const uint64_t n = need_of(5, 40, 16, cqref::bits_of(code));
    std::vector<uint8_t> b(n + 3, 0);  // bytes past the need are ignored
    auto t = decode(b, 5, 40, 16, code, cb);
    ASSERT_TRUE(t.has_value()) << int(code);
    // 48 padded columns in 3 blocks; 3-bit codes are kept as nibbles.
    const uint64_t lane_bits = code == 3 ? 4 : cqref::bits_of(code);
    EXPECT_EQ(t->codes().size(), 32 * (lane_bits * 48 / 8 + 2 * 3)) << int(code);
    EXPECT_EQ(error_of(std::span(b).first(n - 1), 5, 40, 16, code, cb), (CqError{K::ShortBlob, n, n - 1}));
  }
}

TEST(CqDecode, HugeShapesReportSaturatedNeed) {
  const std::vector<float> cb = cb28();
  const std::vector<uint8_t> bytes(64, 0);
  const uint64_t huge = uint64_t{1} << 62;
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(error_of(bytes, huge, huge, 8, 4, cb), (CqError{K::ShortBlob, max, 64}));
  EXPECT_EQ(error_of(bytes, 1, max, 8, 4, cb), (CqError{K::ShortBlob, max, 64}));
  EXPECT_EQ(error_of(bytes, 1, 8, uint64_t{1} << 63, 2, cb).kind, K::ShortBlob);
}

TEST(CqDecode, DebugForms) {
  using vorpel::cq::debug_string;
  EXPECT_EQ(debug_string({K::UnsupportedBits, 6}), "UnsupportedBits(6)");
  EXPECT_EQ(debug_string({K::BadGroup, 12}), "BadGroup(12)");
  EXPECT_EQ(debug_string({K::BadCodebookLen, 27}), "BadCodebookLen(27)");
  EXPECT_EQ(debug_string({K::ShortBlob, 100, 99}), "ShortBlob { need: 100, got: 99 }");
  EXPECT_EQ(debug_string({K::EmptyShape}), "EmptyShape");
}

TEST(CqDecode, LookupTablesAndCodebooks) {
  const std::vector<float> cb = cb28();
  std::vector<uint8_t> bytes(4096, 0);
  auto t2 = decode(bytes, 1, 8, 8, 2, cb);
  auto t3 = decode(bytes, 1, 8, 8, 3, cb);
  auto t4 = decode(bytes, 1, 8, 8, 4, cb);
  auto t5 = decode(bytes, 1, 8, 64, 5, cb);
  ASSERT_TRUE(t2 && t3 && t4 && t5);
  EXPECT_EQ(t2->codes_per_byte(), 4u);
  EXPECT_EQ(t3->codes_per_byte(), 0u);
  EXPECT_EQ(t4->codes_per_byte(), 2u);
  EXPECT_EQ(t5->codes_per_byte(), 4u);
  EXPECT_EQ(std::vector<float>(t2->codebook().begin(), t2->codebook().end()), std::vector<float>(cb.begin(), cb.begin() + 4));
  EXPECT_EQ(std::vector<float>(t3->codebook().begin(), t3->codebook().end()), std::vector<float>(cb.begin() + 4, cb.begin() + 12));
  EXPECT_EQ(std::vector<float>(t4->codebook().begin(), t4->codebook().end()), std::vector<float>(cb.begin() + 12, cb.end()));
  EXPECT_TRUE(t3->lut().empty());
  ASSERT_EQ(t2->lut().size(), 1024u);
  ASSERT_EQ(t4->lut().size(), 512u);
  for (uint32_t v = 0; v < 256; ++v) {
    for (uint32_t p = 0; p < 4; ++p) ASSERT_EQ(t2->lut()[v * 4 + p], cb[(v >> (2 * p)) & 3]);
    for (uint32_t p = 0; p < 2; ++p) ASSERT_EQ(t4->lut()[v * 2 + p], cb[12 + ((v >> (4 * p)) & 15)]);
  }
  // Ternary: c = 1.2240064 / sqrt(64) in single precision; byte 0b11_10_01_00 -> [0, +c, 0, -c].
  const float c = std::bit_cast<float>(0x3F9CAC3Eu) / 8.0f;
  ASSERT_EQ(t5->codebook().size(), 3u);
  EXPECT_EQ(t5->codebook()[0], -c);
  EXPECT_EQ(t5->codebook()[1], 0.0f);
  EXPECT_EQ(t5->codebook()[2], c);
  const uint32_t v = 0b11100100;
  EXPECT_EQ(t5->lut()[v * 4 + 0], 0.0f);
  EXPECT_EQ(t5->lut()[v * 4 + 1], c);
  EXPECT_EQ(t5->lut()[v * 4 + 2], 0.0f);
  EXPECT_EQ(t5->lut()[v * 4 + 3], -c);
}

// Rotated-domain value of column j of row 0: the row kernel with a unit input.
std::vector<float> probe_row0(const vorpel::cq::CqTensor& t) {
  std::vector<float> out(t.padded_cols());
  std::vector<float> e(t.padded_cols(), 0.0f);
  for (uint64_t j = 0; j < t.padded_cols(); ++j) {
    e[j] = 1.0f;
    float y = 0;
    vorpel::cq::row_kernel(t, e, 0, std::span(&y, 1));
    out[j] = y;
    e[j] = 0.0f;
  }
  return out;
}

TEST(CqDecode, TernaryByteAndStraddlingThreeBitCodes) {
  const std::vector<float> cb = cb28();
  for (auto level : cqref::levels()) {
    cqref::LevelGuard g(level);
    // One row, b 16, scale 1.0 (0x3C00).
    std::vector<uint8_t> tern(4 + 2, 0);
    tern[0] = 0b11100100;
    tern[4] = 0x00, tern[5] = 0x3C;
    auto t5 = decode(tern, 1, 16, 16, 5, cb);
    ASSERT_TRUE(t5);
    const float c = std::bit_cast<float>(0x3F9CAC3Eu) / 4.0f;
    const auto p5 = probe_row0(*t5);
    EXPECT_EQ(p5[0], 0.0f);
    EXPECT_EQ(p5[1], c);
    EXPECT_EQ(p5[2], 0.0f);
    EXPECT_EQ(p5[3], -c);
    for (size_t j = 4; j < 16; ++j) EXPECT_EQ(p5[j], 0.0f);

    // 3-bit: code 2 occupies bits 6..8 (bits 6, 7 of byte 0 and bit 0 of byte 1).
    std::vector<uint8_t> three(6 + 2, 0);
    three[0] = 0b11000000;
    three[1] = 0b00000001;
    three[2] = 0b10000000;  // code 7 = bits 21..23: the top three bits of byte 2
    three[3] = 0b11000000;  // code 10 = bits 30..32
    three[6] = 0x00, three[7] = 0x3C;
    auto t3 = decode(three, 1, 16, 16, 3, cb);
    ASSERT_TRUE(t3);
    const auto p3 = probe_row0(*t3);
    const float* c3 = cb.data() + 4;
    EXPECT_EQ(p3[0], c3[0]);
    EXPECT_EQ(p3[1], c3[0]);
    EXPECT_EQ(p3[2], c3[7]);
    EXPECT_EQ(p3[7], c3[4]);
    EXPECT_EQ(p3[10], c3[3]);  // bits 30, 31 set; bit 32 clear
    EXPECT_EQ(p3[3], c3[0]);
  }
}

TEST(CqDecode, DequantizeRowChecks) {
  std::vector<uint8_t> bytes(need_of(2, 10, 8, 4), 0);
  auto t = decode(bytes, 2, 10, 8, 4, cb28());
  ASSERT_TRUE(t);
  std::vector<float> out(9);
  EXPECT_THROW(vorpel::cq::dequantize_row(*t, 0, out), vorpel::Panic);
  out.resize(10);
  EXPECT_THROW(vorpel::cq::dequantize_row(*t, 2, out), vorpel::Panic);
  EXPECT_NO_THROW(vorpel::cq::dequantize_row(*t, 1, out));
}

}  // namespace

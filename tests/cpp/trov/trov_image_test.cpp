// Container reader: every error text, the order of the checks, the edge cases
// of the framing, the accessors, and robustness against corrupted images.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "trov/trov_builder.hpp"
#include "vorpel/core/panic.hpp"
#include "vorpel/trov/trov_image.hpp"

namespace {

using trov_test::ImageBuilder;
using trov_test::RawEntry;
using vorpel::trov::message;
using vorpel::trov::TrovError;
using vorpel::trov::TrovImage;
using K = TrovError::Kind;

std::string v2_error(const std::vector<uint8_t>& img) {
  auto r = TrovImage::parse_v2(img);
  return r ? std::string("<parsed>") : message(r.error());
}
std::string v3_error(const std::vector<uint8_t>& img) {
  auto r = TrovImage::parse_v3(img);
  return r ? std::string("<parsed>") : message(r.error());
}
TrovImage parse_ok(const std::vector<uint8_t>& img) {
  auto r = TrovImage::parse_v2(img);
  if (!r) throw std::runtime_error("unexpected parse error: " + message(r.error()));
  return std::move(*r);
}

TEST(TrovError, MessageTexts) {
  const std::vector<uint64_t> a{576, 64}, b{576, 64, 1};
  using vorpel::cq::CqError;
  const std::pair<TrovError, std::string> cases[] = {
      {TrovError::too_short(120, 119), "trov truncated: need at least 120 bytes, got 119"},
      {TrovError::bad_tag(0x05E12A84, 0x05E12A83),
       "not a trov blob: tag 0x05e12a84, want 0x05e12a83"},
      {TrovError::bad_tag(0x1, 0x05E12A84), "not a trov blob: tag 0x00000001, want 0x05e12a84"},
      {TrovError::bad_codebook_len(27), "header codebook is 27 floats, want 28 (cb2|cb3|cb4)"},
      {TrovError::blob_out_of_range(3, 100, 50, 120), "tensor 3 spans 100..150 but the file is 120 bytes"},
      // The end is printed exactly even when it does not fit in 64 bits.
      {TrovError::blob_out_of_range(0, std::numeric_limits<uint64_t>::max(), 2, 300),
       "tensor 0 spans 18446744073709551615..18446744073709551617 but the file is 300 bytes"},
      {TrovError::bad_ndim(2, 5), "tensor 2 has ndim 5, want 0..=4"},
      {TrovError::dtype_mismatch(4, 2, 4), "tensor 4 has dtype 2, want 4"},
      {TrovError::ragged_blob(1, 7), "tensor 1 has 7 bytes, not a whole element count"},
      {TrovError::tensor_count_too_small(39, 12),
       "the canon for this geometry needs 39 tensors, directory has 12"},
      {TrovError::shape_mismatch(5, "q_proj", a, b),
       "tensor 5 (q_proj): shape [576, 64] does not match geometry [576, 64, 1]"},
      {TrovError::shape_mismatch(0, "attn_gate", {}, std::vector<uint64_t>{1}),
       "tensor 0 (attn_gate): shape [] does not match geometry [1]"},
      {TrovError::bad_geometry("hada_n"), "header field hada_n must be non-zero"},
      {TrovError::bad_head_manifest(5), "5 trailing tensors is not 1 + 3*heads for any head count"},
      {TrovError::unknown_head_code(255), "unknown probe-head code 255"},
      {TrovError::from_cq(CqError{CqError::Kind::ShortBlob, 100, 99}),
       "cq: ShortBlob { need: 100, got: 99 }"},
      {TrovError::from_cq(CqError{CqError::Kind::BadGroup, 12}), "cq: BadGroup(12)"},
      {TrovError::from_cq(CqError{CqError::Kind::EmptyShape}), "cq: EmptyShape"},
  };
  for (const auto& [err, text] : cases) EXPECT_EQ(message(err), text);
  EXPECT_EQ(TrovError::bad_tag(1, 2).kind, K::BadTag);
  EXPECT_EQ(TrovError::unknown_head_code(7).a, 7u);
}

TEST(TrovParseV2, LengthAndTag) {
  auto good = ImageBuilder::valid_v2().build();
  ASSERT_EQ(good.size(), 232u);
  EXPECT_EQ(v2_error(std::vector<uint8_t>(good.begin(), good.begin() + 119)),
            "trov truncated: need at least 120 bytes, got 119");
  EXPECT_EQ(v2_error({}), "trov truncated: need at least 120 bytes, got 0");

  // A 120-byte file with a wrong tag is a tag error, not a length error.
  std::vector<uint8_t> bad(good.begin(), good.begin() + 120);
  bad[0] ^= 0xFF;
  EXPECT_EQ(v2_error(bad), "not a trov blob: tag 0x05e12a7c, want 0x05e12a83");

  auto v3 = ImageBuilder(true).build();
  EXPECT_EQ(v2_error(v3), "not a trov blob: tag 0x05e12a84, want 0x05e12a83");
  EXPECT_EQ(v3_error(good), "not a trov blob: tag 0x05e12a83, want 0x05e12a84");
  EXPECT_EQ(v3_error(std::vector<uint8_t>(v3.begin(), v3.begin() + 195)),
            "trov truncated: need at least 196 bytes, got 195");
}

TEST(TrovParseV2, GeometryChecksInOrder) {
  // Zeroing fields i.. onwards must report field i: the checks run in this order.
  const std::pair<size_t, const char*> fields[] = {
      {20, "vocab"},        {24, "d_model"},    {28, "num_heads"},   {32, "num_kv_heads"},
      {36, "num_layers"},   {40, "head_dim"},   {44, "max_seq_len"}, {52, "mhc_lanes"}};
  for (size_t i = 0; i < std::size(fields); ++i) {
    auto b = ImageBuilder::valid_v2();
    for (size_t j = i; j < std::size(fields); ++j) b.put32(fields[j].first, 0);
    b.put32(8, 27);  // the codebook check comes later
    EXPECT_EQ(v2_error(b.build()), std::string("header field ") + fields[i].second + " must be non-zero");
  }
  {
    auto b = ImageBuilder::valid_v2();
    b.put32(28, 8).put32(32, 3).put32(48, 0);
    EXPECT_EQ(v2_error(b.build()), "header field num_heads % num_kv_heads must be non-zero");
  }
  for (uint32_t hada : {0u, 4u, 12u, 7u}) {
    auto b = ImageBuilder::valid_v2();
    b.put32(48, hada).put32(96, 1).put32(56, 0);  // hada_n precedes the engram checks
    EXPECT_EQ(v2_error(b.build()), "header field hada_n must be non-zero") << hada;
  }
  for (uint32_t hada : {8u, 16u, 1024u}) {  // d_model 8; rounding is the canon's concern
    auto b = ImageBuilder::valid_v2();
    b.put32(48, hada);
    EXPECT_EQ(v2_error(b.build()), "<parsed>") << hada;
  }
}

TEST(TrovParseV2, EngramGeometry) {
  {  // no sites: engram words may be anything
    auto b = ImageBuilder::valid_v2();
    b.put32(96, 0).put32(100, 99);
    EXPECT_EQ(v2_error(b.build()), "<parsed>");
  }
  for (size_t zero_at : {56u, 60u, 64u}) {
    auto b = ImageBuilder::valid_v2();
    b.put32(56, 4).put32(60, 4).put32(64, 2).put32(96, 1).put32(100, 7).put32(zero_at, 0);
    EXPECT_EQ(v2_error(b.build()), "header field engram geometry must be non-zero") << zero_at;
  }
  auto with_sites = [](std::vector<uint32_t> sites, uint32_t count) {
    auto b = ImageBuilder::valid_v2();  // num_layers 2
    b.put32(56, 4).put32(60, 4).put32(64, 2).put32(96, count);
    for (size_t i = 0; i < sites.size(); ++i) b.put32(100 + 4 * i, sites[i]);
    return b.build();
  };
  EXPECT_EQ(v2_error(with_sites({0, 1}, 2)), "<parsed>");
  EXPECT_EQ(v2_error(with_sites({1, 2}, 2)), "header field engram_sites beyond num_layers must be non-zero");
  // Only the first min(count, 4) sites are checked.
  EXPECT_EQ(v2_error(with_sites({0, 1, 1, 0, 9}, 7)), "<parsed>");
  EXPECT_EQ(v2_error(with_sites({0, 5}, 1)), "<parsed>");
}

TEST(TrovParseV2, ListsClampToFour) {
  auto b = ImageBuilder::valid_v2();
  b.put32(76, 7);
  for (uint32_t i = 0; i < 4; ++i) b.put32(80 + 4 * i, 10 + i);
  b.put32(56, 4).put32(60, 4).put32(64, 2).put32(96, 7);
  for (uint32_t i = 0; i < 4; ++i) b.put32(100 + 4 * i, i % 2);
  auto img = parse_ok(b.build());
  EXPECT_EQ(img.first_list(), (std::vector<uint32_t>{10, 11, 12, 13}));
  EXPECT_EQ(img.second_list(), (std::vector<uint32_t>{0, 1, 0, 1}));
  b.put32(76, 2).put32(96, 0);
  auto img2 = parse_ok(b.build());
  EXPECT_EQ(img2.first_list(), (std::vector<uint32_t>{10, 11}));
  EXPECT_TRUE(img2.second_list().empty());
}

TEST(TrovParseV2, CodebookAndDirectorySize) {
  auto b = ImageBuilder::valid_v2();
  b.put32(8, 27).count_override(1000);  // codebook length is checked before the directory size
  EXPECT_EQ(v2_error(b.build()), "header codebook is 27 floats, want 28 (cb2|cb3|cb4)");

  auto empty = ImageBuilder::valid_v2().build();
  ASSERT_EQ(empty.size(), 232u);
  auto img = parse_ok(empty);
  EXPECT_EQ(img.tensor_count(), 0u);
  EXPECT_EQ(img.codebook().size(), 28u);
  EXPECT_FLOAT_EQ(img.codebook()[27], 0.25f * 13);
  EXPECT_EQ(img.version(), vorpel::trov::Version::V2);
  EXPECT_EQ(v2_error(std::vector<uint8_t>(empty.begin(), empty.end() - 1)),
            "trov truncated: need at least 232 bytes, got 231");

  // A huge count in a short file is a length error, never a giant reservation.
  auto huge = ImageBuilder::valid_v2().count_override(0xFFFFFFFFu).build();
  huge.resize(300);
  EXPECT_EQ(v2_error(huge), "trov truncated: need at least " +
                                std::to_string(232 + 44ull * 0xFFFFFFFFull) + " bytes, got 300");
  auto two = ImageBuilder::valid_v2().count_override(2).build();
  two.resize(232 + 87);
  EXPECT_EQ(v2_error(two), "trov truncated: need at least 320 bytes, got 319");
}

TEST(TrovParseV2, DirectoryRecords) {
  auto b = ImageBuilder::valid_v2();
  b.add_f32({1, 2, 3}, {3});
  RawEntry bad;
  bad.ndim = 5;
  bad.offset = 1ull << 40;  // ndim is checked before the range
  b.add(bad);
  EXPECT_EQ(v2_error(b.build()), "tensor 1 has ndim 5, want 0..=4");

  // Entry 0 out of range is reported before entry 1's bad ndim.
  auto c = ImageBuilder::valid_v2();
  RawEntry far;
  far.offset = 10'000;
  far.nbytes = 4;
  c.add(far);
  c.add(bad);
  EXPECT_EQ(v2_error(c.build()), "tensor 0 spans 10000..10004 but the file is 320 bytes");

  // offset + nbytes == file length is fine; one byte more is not.
  auto d = ImageBuilder::valid_v2();
  d.add_f32({1, 2}, {2});
  auto img_bytes = d.build();
  ASSERT_EQ(img_bytes.size(), 232u + 44 + 8);
  EXPECT_EQ(v2_error(img_bytes), "<parsed>");
  RawEntry exact;
  exact.offset = 0;
  exact.nbytes = 276;  // the whole file: header, codebook and this record
  auto e = ImageBuilder::valid_v2();
  e.add(exact);
  EXPECT_EQ(v2_error(e.build()), "<parsed>");
  auto f = ImageBuilder::valid_v2();
  exact.nbytes = 277;
  f.add(exact);  // file is 276 bytes
  EXPECT_EQ(v2_error(f.build()), "tensor 0 spans 0..277 but the file is 276 bytes");

  // offset + nbytes wrapping around 64 bits must not pass as small.
  auto g = ImageBuilder::valid_v2();
  RawEntry wrap;
  wrap.offset = std::numeric_limits<uint64_t>::max() - 1;
  wrap.nbytes = 10;
  g.add(wrap);
  EXPECT_EQ(v2_error(g.build()),
            "tensor 0 spans 18446744073709551614..18446744073709551624 but the file is 276 bytes");
  auto h = ImageBuilder::valid_v2();
  RawEntry past;
  past.offset = 277;
  past.nbytes = 0;  // an empty entry must still start inside the file
  h.add(past);
  EXPECT_EQ(v2_error(h.build()), "tensor 0 spans 277..277 but the file is 276 bytes");

  // Entry fields are kept as stored; unknown dtypes parse.
  auto k = ImageBuilder::valid_v2();
  RawEntry odd;
  odd.dtype = 9;
  odd.ndim = 1;
  odd.dims = {7, 8, 9, 0xFFFFFFFFu};
  odd.cq_block = 0xFFFFFFFFu;
  odd.cq_bits = 200;
  odd.offset = 3;
  odd.nbytes = 5;
  k.add(odd);
  auto img = parse_ok(k.build());
  const auto& en = img.entries().at(0);
  EXPECT_EQ(en.dtype, 9);
  EXPECT_EQ(en.dims[3], 0xFFFFFFFFull);
  EXPECT_EQ(en.cq_block, 0xFFFFFFFFull);
  EXPECT_EQ(en.cq_bits, 200);
  EXPECT_EQ(en.offset, 3u);
  EXPECT_EQ(en.nbytes, 5u);
}

uint16_t f16_bits(float f) {  // exact for the values used below
  const uint32_t u = std::bit_cast<uint32_t>(f);
  const uint32_t sign = (u >> 16) & 0x8000u;
  const int exp = static_cast<int>((u >> 23) & 0xFF) - 127 + 15;
  return static_cast<uint16_t>(sign | (exp << 10) | ((u >> 13) & 0x3FF));
}

TEST(TrovAccessors, Floats) {
  auto b = ImageBuilder::valid_v2();
  const std::vector<float> vals{1.5f, -0.0f, 3.25e-3f, 1e30f, std::numeric_limits<float>::denorm_min()};
  b.add_f32(vals, {5});                          // 0
  RawEntry h;                                    // 1: f16
  h.dtype = 1;
  h.dims = {6};
  const uint16_t halves[] = {f16_bits(1.5f), f16_bits(-2.0f), 0x0001, 0x83FF, 0x7C00, 0xFE01};
  h.data.resize(sizeof halves);
  std::memcpy(h.data.data(), halves, sizeof halves);
  b.add(h);
  RawEntry ragged16 = h;                         // 2
  ragged16.data.resize(7);
  b.add(ragged16);
  RawEntry empty32;                              // 3
  empty32.dims = {0};
  b.add(empty32);
  RawEntry ragged32;                             // 4
  ragged32.data.resize(6);
  b.add(ragged32);
  RawEntry cq;                                   // 5
  cq.dtype = 3;
  b.add(cq);
  RawEntry weird;                                // 6
  weird.dtype = 0;
  b.add(weird);
  auto img = parse_ok(b.build());

  auto f = img.floats(0);
  ASSERT_TRUE(f);
  ASSERT_EQ(f->size(), vals.size());
  for (size_t i = 0; i < vals.size(); ++i)
    EXPECT_EQ(std::bit_cast<uint32_t>((*f)[i]), std::bit_cast<uint32_t>(vals[i])) << i;

  auto g = img.floats(1);
  ASSERT_TRUE(g);
  ASSERT_EQ(g->size(), 6u);
  EXPECT_EQ((*g)[0], 1.5f);
  EXPECT_EQ((*g)[1], -2.0f);
  EXPECT_EQ((*g)[2], std::ldexp(1.0f, -24));
  EXPECT_EQ((*g)[3], -std::ldexp(1023.0f, -24));
  EXPECT_TRUE(std::isinf((*g)[4]));
  EXPECT_EQ(std::bit_cast<uint32_t>((*g)[5]), 0xFFC02000u);  // NaN payload kept, shifted by 13

  EXPECT_EQ(message(img.floats(2).error()), "tensor 2 has 7 bytes, not a whole element count");
  auto e = img.floats(3);
  ASSERT_TRUE(e);
  EXPECT_TRUE(e->empty());
  EXPECT_EQ(message(img.floats(4).error()), "tensor 4 has 6 bytes, not a whole element count");
  EXPECT_EQ(message(img.floats(5).error()), "tensor 5 has dtype 3, want 1");
  EXPECT_EQ(message(img.floats(6).error()), "tensor 6 has dtype 0, want 1");
}

TEST(TrovAccessors, BytesAndDtypes) {
  auto b = ImageBuilder::valid_v2();
  b.add_f32({1, 2}, {2});
  RawEntry raw;
  raw.dtype = 4;
  raw.dims = {5};
  raw.data = {'h', 'e', 'l', 'l', 'o'};
  b.add(raw);
  RawEntry header_view;  // data may live anywhere, even inside the header
  header_view.dtype = 4;
  header_view.offset = 0;
  header_view.nbytes = 4;
  b.add(header_view);
  auto img = parse_ok(b.build());

  EXPECT_EQ(message(img.bytes(0).error()), "tensor 0 has dtype 2, want 4");
  auto v = img.bytes(1);
  ASSERT_TRUE(v);
  EXPECT_EQ(std::string(v->begin(), v->end()), "hello");
  EXPECT_GE(v->data(), img.image().data());  // a view into the image, not a copy
  EXPECT_LE(v->data() + v->size(), img.image().data() + img.image().size());
  auto tag = img.bytes(2);
  ASSERT_TRUE(tag);
  EXPECT_EQ(tag->data(), img.image().data());
  EXPECT_EQ(message(img.cq_tensor(0).error()), "tensor 0 has dtype 2, want 3");
  EXPECT_EQ(message(img.dense_cq(1).error()), "tensor 1 has dtype 4, want 3");
  EXPECT_EQ(message(img.floats(1).error()), "tensor 1 has dtype 4, want 1");
}

TEST(TrovAccessors, ShapeCheck) {
  auto b = ImageBuilder::valid_v2();
  RawEntry m;
  m.ndim = 2;
  m.dims = {576, 64, 7, 7};  // dims past ndim are never compared
  b.add(m);
  RawEntry scalar;
  scalar.ndim = 0;
  scalar.dims = {3, 0, 0, 0};
  b.add(scalar);
  auto img = parse_ok(b.build());
  EXPECT_TRUE(img.check_shape(0, "embedding", {576, 64}));
  EXPECT_EQ(message(img.check_shape(0, "embedding", {576, 64, 1}).error()),
            "tensor 0 (embedding): shape [576, 64] does not match geometry [576, 64, 1]");
  EXPECT_EQ(message(img.check_shape(0, "embedding", {576, 65}).error()),
            "tensor 0 (embedding): shape [576, 64] does not match geometry [576, 65]");
  EXPECT_EQ(message(img.check_shape(0, "x", {576}).error()),
            "tensor 0 (x): shape [576, 64] does not match geometry [576]");
  const std::vector<uint64_t> dyn{576, 64};
  EXPECT_TRUE(img.check_shape(0, "embedding", std::span<const uint64_t>(dyn)));
  EXPECT_TRUE(img.check_shape(1, "s", {}));
  EXPECT_EQ(message(img.check_shape(1, "s", {3}).error()),
            "tensor 1 (s): shape [] does not match geometry [3]");
  auto err = img.check_shape(0, "q", {1, 2}).error();
  EXPECT_EQ(err.kind, K::ShapeMismatch);
  EXPECT_EQ(err.found, (std::vector<uint64_t>{576, 64}));
  EXPECT_EQ(err.expected, (std::vector<uint64_t>{1, 2}));
}

TEST(TrovAccessors, PanicsOnCallerErrors) {
  auto b = ImageBuilder::valid_v2();
  b.add_f32({1}, {1});
  auto img = parse_ok(b.build());
  EXPECT_THROW((void)img.floats(1), vorpel::Panic);
  EXPECT_THROW((void)img.bytes(1), vorpel::Panic);
  EXPECT_THROW((void)img.cq_tensor(5), vorpel::Panic);
  EXPECT_THROW((void)img.dense_cq(1), vorpel::Panic);
  EXPECT_THROW((void)img.check_shape(1, "x", {1}), vorpel::Panic);
  EXPECT_EQ(img.header_u32(116), 0u);
  EXPECT_EQ(img.header_u32(20), 16u);
  EXPECT_EQ(img.header_f32(12), 0.0f);
  EXPECT_EQ(img.header_u8(119), 0u);
  EXPECT_THROW((void)img.header_u32(117), vorpel::Panic);
  EXPECT_THROW((void)img.header_u64(113), vorpel::Panic);
  EXPECT_THROW((void)img.header_u8(120), vorpel::Panic);
  EXPECT_THROW((void)img.header_f32(static_cast<size_t>(-2)), vorpel::Panic);
}

TEST(TrovParseV3, FramingAndLists) {
  ImageBuilder b(true);
  b.put32(104, 9);
  for (uint32_t i = 0; i < 4; ++i) b.put32(108 + 4 * i, 2 + i);
  b.put32(124, 20);
  for (uint32_t i = 0; i < 16; ++i) b.put32(128 + 4 * i, 100 + i);
  b.putf(192, 500000.0f).put64(68, 0x8000000000000005ull);
  b.add_f32({4, 5, 6}, {3});
  auto bytes = b.build();
  ASSERT_EQ(bytes.size(), 308u + 44 + 12);
  auto r = TrovImage::parse_v3(bytes);
  ASSERT_TRUE(r) << message(r.error());
  EXPECT_EQ(r->version(), vorpel::trov::Version::V3);
  EXPECT_EQ(r->first_list(), (std::vector<uint32_t>{2, 3, 4, 5}));
  ASSERT_EQ(r->second_list().size(), 16u);
  EXPECT_EQ(r->second_list()[15], 115u);
  EXPECT_EQ(r->header_f32(192), 500000.0f);
  EXPECT_EQ(r->header_u64(68), 0x8000000000000005ull);
  EXPECT_THROW((void)r->header_u32(193), vorpel::Panic);
  EXPECT_FLOAT_EQ(r->codebook()[0], -3.5f);
  EXPECT_EQ(r->entries()[0].offset, 352u);
  auto f = r->floats(0);
  ASSERT_TRUE(f);
  EXPECT_EQ(*f, (std::vector<float>{4, 5, 6}));

  // The third-generation parse has no geometry checks of its own (all zero is fine),
  // but does check the codebook length and the directory size.
  EXPECT_EQ(v3_error(ImageBuilder(true).build()), "<parsed>");
  EXPECT_EQ(v3_error(ImageBuilder(true).put32(8, 0).build()),
            "header codebook is 0 floats, want 28 (cb2|cb3|cb4)");
  auto shortdir = ImageBuilder(true).count_override(1).build();
  EXPECT_EQ(v3_error(shortdir), "trov truncated: need at least 352 bytes, got 308");
  ImageBuilder c(true);
  RawEntry far;
  far.offset = 353;
  far.nbytes = 0;
  c.add(far);
  EXPECT_EQ(v3_error(c.build()), "tensor 0 spans 353..353 but the file is 352 bytes");
}

// --- CQ entries, against a plain reference dequantiser ---

struct Rng {
  std::mt19937_64 g;
  explicit Rng(uint64_t seed) : g(seed) {}
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(g() % n); }
  float uniform(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(g); }
};

// W[r, k*b + i] = sum_t s * level(code t) * (-1)^popcount(i & t) / sqrt(b), in double.
std::vector<double> reference_dense(const std::vector<uint32_t>& codes, const std::vector<float>& scales,
                                    const std::vector<double>& level, uint64_t rows, uint64_t cols,
                                    uint64_t b) {
  const uint64_t padded = b * ((cols + b - 1) / b), blocks = padded / b;
  std::vector<double> w(rows * cols);
  for (uint64_t r = 0; r < rows; ++r)
    for (uint64_t j = 0; j < cols; ++j) {
      const uint64_t k = j / b, i = j % b;
      double acc = 0;
      for (uint64_t t = 0; t < b; ++t) {
        const double v = scales[r * blocks + k] * level[codes[r * padded + k * b + t]];
        acc += (std::popcount(i & t) % 2 ? -v : v);
      }
      w[r * cols + j] = acc / std::sqrt(static_cast<double>(b));
    }
  return w;
}

TEST(TrovAccessors, CqEntriesMatchReference) {
  for (uint64_t seed = 1; seed <= 8; ++seed) {
    Rng rng(seed);
    const uint8_t bits_code = static_cast<uint8_t>(2 + (seed % 4));  // 3, 4, 5, 2, ...
    const uint32_t bits = bits_code == 5 ? 2 : bits_code;
    const uint64_t b = 8u << rng.below(3);
    const uint64_t rows = 1 + rng.below(5), cols = 1 + rng.below(70);
    const uint64_t padded = b * ((cols + b - 1) / b), blocks = padded / b;
    const uint64_t row_bytes = bits * padded / 8;

    ImageBuilder img(false);
    img = ImageBuilder::valid_v2();
    for (auto& c : img.codebook()) c = rng.uniform(-2, 2);
    std::vector<double> level;
    if (bits_code == 5) {
      const double c = static_cast<double>(1.2240064f / std::sqrt(static_cast<float>(b)));
      level = {0, c, 0, -c};
    } else {
      const size_t lo = bits_code == 2 ? 0 : bits_code == 3 ? 4 : 12;
      for (size_t i = 0; i < (1u << bits); ++i) level.push_back(img.codebook()[lo + i]);
    }
    std::vector<uint32_t> codes(rows * padded);
    for (auto& c : codes) c = rng.below(1u << bits);
    std::vector<float> scales(rows * blocks);
    RawEntry e;
    e.dtype = 3;
    e.ndim = 2;
    e.dims = {static_cast<uint32_t>(rows), static_cast<uint32_t>(cols), 0, 0};
    e.cq_block = static_cast<uint32_t>(b);
    e.cq_bits = bits_code;
    e.data.assign(rows * row_bytes, 0);
    for (uint64_t r = 0; r < rows; ++r)
      for (uint64_t j = 0; j < padded; ++j) {
        const uint64_t bit = j * bits;
        const uint32_t v = codes[r * padded + j] << (bit % 8);
        e.data[r * row_bytes + bit / 8] |= static_cast<uint8_t>(v);
        if ((bit % 8) + bits > 8) e.data[r * row_bytes + bit / 8 + 1] |= static_cast<uint8_t>(v >> 8);
      }
    for (auto& s : scales) {
      const uint16_t h = static_cast<uint16_t>(0x3000 + rng.below(0x1000));  // 0.125 .. 1
      e.data.push_back(static_cast<uint8_t>(h & 0xFF));
      e.data.push_back(static_cast<uint8_t>(h >> 8));
      s = std::ldexp(1.0f + (h & 0x3FF) / 1024.0f, ((h >> 10) & 0x1F) - 15);
    }
    e.data.push_back(0xAB);  // bytes beyond the encoded size are ignored
    img.add(e);
    auto parsed = parse_ok(img.build());
    auto dense = parsed.dense_cq(0);
    ASSERT_TRUE(dense) << message(dense.error()) << " seed " << seed;
    const auto want = reference_dense(codes, scales, level, rows, cols, b);
    ASSERT_EQ(dense->size(), want.size());
    // Each output sums b terms of magnitude <= 2 (scale <= 1, |level| <= 2).
    const double tol = 8 * b * 2 * std::numeric_limits<float>::epsilon() / std::sqrt(double(b));
    for (size_t i = 0; i < want.size(); ++i)
      ASSERT_NEAR((*dense)[i], want[i], tol)
          << "seed " << seed << " bits " << int(bits_code) << " b " << b << " at " << i;
    auto t = parsed.cq_tensor(0);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->rows(), rows);
    EXPECT_EQ(t->cols(), cols);
  }
}

TEST(TrovAccessors, CqErrorsAreWrapped) {
  auto b = ImageBuilder::valid_v2();
  RawEntry e;
  e.dtype = 3;
  e.ndim = 2;
  e.dims = {2, 100, 0, 0};
  e.cq_block = 64;
  e.cq_bits = 4;
  e.data.resize(2 * 64 + 2 * 2 * 2 - 1);  // one byte short
  b.add(e);                           // 0
  RawEntry g = e;
  g.cq_block = 12;
  b.add(g);                           // 1
  RawEntry huge = e;                  // dims promising far more than the file holds
  huge.dims = {0xFFFFFFFFu, 0xFFFFFFFFu, 0, 0};
  huge.cq_block = 0x80000000u;
  b.add(huge);                        // 2
  RawEntry vec = e;                   // ndim 1: cols come from the stored dims[1] = 0
  vec.ndim = 1;
  vec.dims = {4, 0, 0, 0};
  b.add(vec);                         // 3
  auto img = parse_ok(b.build());
  EXPECT_EQ(message(img.cq_tensor(0).error()), "cq: ShortBlob { need: 136, got: 135 }");
  EXPECT_EQ(message(img.dense_cq(1).error()), "cq: BadGroup(12)");
  auto h = img.cq_tensor(2);
  ASSERT_FALSE(h);
  EXPECT_EQ(h.error().kind, K::Cq);
  EXPECT_EQ(h.error().cq.kind, vorpel::cq::CqError::Kind::ShortBlob);
  EXPECT_EQ(message(img.cq_tensor(3).error()), "cq: EmptyShape");
}

// Random corruption of a valid image: parsing and every accessor must either
// succeed or return an error; nothing may crash or read outside the image.
TEST(TrovRobustness, CorruptedImagesNeverCrash) {
  auto base = ImageBuilder::valid_v2();
  base.add_f32({1, 2, 3, 4}, {2, 2});
  RawEntry cq;
  cq.dtype = 3;
  cq.ndim = 2;
  cq.dims = {2, 16, 0, 0};
  cq.cq_block = 8;
  cq.cq_bits = 4;
  cq.data.assign(2 * 8 + 2 * 2 * 2, 0x11);
  base.add(cq);
  RawEntry raw;
  raw.dtype = 4;
  raw.data = {1, 2, 3};
  base.add(raw);
  const auto good = base.build();
  ASSERT_TRUE(TrovImage::parse_v2(good));
  const uint64_t seed = 20261208;
  std::mt19937_64 g(seed);
  size_t parsed = 0;
  for (int iter = 0; iter < 3000; ++iter) {
    auto img = good;
    const int flips = 1 + static_cast<int>(g() % 4);
    for (int k = 0; k < flips; ++k) {
      // Bias the damage towards the header and directory, where the checks are.
      const size_t at = g() % 2 ? g() % 120 : 232 + g() % (img.size() - 232);
      img[at] = static_cast<uint8_t>(g());
    }
    if (g() % 8 == 0) img.resize(g() % img.size());
    auto r = TrovImage::parse_v2(img);
    if (!r) {
      EXPECT_FALSE(message(r.error()).empty());
      continue;
    }
    ++parsed;
    for (size_t i = 0; i < r->tensor_count(); ++i) {
      (void)r->floats(i);
      (void)r->bytes(i);
      const auto& e = r->entries()[i];
      // Keep decoded matrices small enough for a quick test.
      if (e.dims[0] * std::max<uint64_t>(e.dims[1], 1) <= (1u << 16)) (void)r->dense_cq(i);
      (void)r->check_shape(i, "t", {2, 2});
    }
  }
  EXPECT_GT(parsed, 100u) << "seed " << seed;
}

}  // namespace

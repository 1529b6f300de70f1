// Safetensors reader: every header error and the order of the checks, the
// scanner's reading of shapes, offsets and metadata, each dtype's widening
// against an independent formula, the I4 shape check and its notice, and
// byte ranges rejected at request time.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "vorpel/safetensors/safetensors.hpp"

namespace {

using vorpel::st::Dtype;
using vorpel::st::SafetensorsError;
using vorpel::st::SafetensorsFile;
using Bytes = std::vector<uint8_t>;
using Dims = std::vector<uint64_t>;

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

Bytes with_length(uint64_t n, std::string_view rest) {
  Bytes b;
  for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(n >> (8 * i)));
  for (char c : rest) b.push_back(static_cast<uint8_t>(c));
  return b;
}

Bytes file_of(std::string_view header, const Bytes& data = {}) {
  Bytes b = with_length(header.size(), header);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

std::string parse_error(const Bytes& b) {
  auto r = SafetensorsFile::parse(b);
  return r ? std::string("<parsed>") : message(r.error());
}

SafetensorsFile parse_ok(std::string_view header, const Bytes& data = {}) {
  auto r = SafetensorsFile::parse(file_of(header, data));
  if (!r) throw std::runtime_error("unexpected parse error: " + message(r.error()));
  return std::move(*r);
}

// One tensor entry, with the fields as given.
std::string tensor(std::string_view name, std::string_view dtype, std::string_view shape,
                   std::string_view offsets) {
  return "\"" + std::string(name) + "\":{\"dtype\":\"" + std::string(dtype) + "\",\"shape\":" +
         std::string(shape) + ",\"data_offsets\":" + std::string(offsets) + "}";
}

std::vector<uint32_t> bits_of(const std::vector<float>& v) {
  std::vector<uint32_t> out;
  for (float f : v) out.push_back(std::bit_cast<uint32_t>(f));
  return out;
}

std::vector<float> floats(const SafetensorsFile& f, std::string_view name) {
  auto r = f.get_f32(name);
  if (!r) throw std::runtime_error("unexpected error: " + message(r.error()));
  if (!*r) throw std::runtime_error("tensor unexpectedly absent");
  return **r;
}

TEST(SafetensorsHeader, ErrorsInCheckOrder) {
  struct Case {
    const char* what;
    Bytes file;
    std::string message;
  };
  const std::string ok_a = tensor("a", "F32", "[1]", "[0, 4]");
  const Case cases[] = {
      {"empty buffer", {}, "buffer too short"},
      {"seven bytes", Bytes(7, 0), "buffer too short"},
      {"length 1, no header byte", with_length(1, ""), "truncated header"},
      {"length one past the end", with_length(3, "{}"), "truncated header"},
      // A bounds check written as N + 8 > size wraps for these.
      {"length 2^64 - 1", with_length(kMax, "{}"), "truncated header"},
      {"length 2^64 - 8", with_length(kMax - 7, "{}"), "truncated header"},
      {"invalid byte", file_of("{\xff}"), "invalid UTF-8 header"},
      {"overlong slash", file_of("{\"\xC0\xAF\":1}"), "invalid UTF-8 header"},
      {"surrogate", file_of("{\"\xED\xA0\x80\":1}"), "invalid UTF-8 header"},
      {"cut character", file_of("{}\xE2\x96"), "invalid UTF-8 header"},
      {"UTF-8 is checked before the object shape", file_of("[\xff"), "invalid UTF-8 header"},
      {"empty header", file_of(""), "expected JSON object"},
      {"only white space", file_of(" \n\t "), "expected JSON object"},
      {"array", file_of("[]"), "expected JSON object"},
      {"lone brace", file_of("{"), "expected JSON object"},
      {"unclosed", file_of("{\"a\":1"), "expected JSON object"},
      {"text after the object", file_of("{} x"), "expected JSON object"},
      {"no dtype key", file_of(R"({"w":{"shape":[1],"data_offsets":[0,4]}})"), "missing dtype for w"},
      {"dtype not a string", file_of(R"({"w":{"dtype":F32,"shape":[1],"data_offsets":[0,4]}})"),
       "missing dtype for w"},
      {"dtype without colon", file_of(R"({"w":{"dtype" "F32"}})"), "missing dtype for w"},
      {"dtype unterminated", file_of(R"({"w":{"dtype":"F32}})"), "missing dtype for w"},
      {"tensor value a number", file_of(R"({"w":5})"), "missing dtype for w"},
      {"no shape key", file_of(R"({"w":{"dtype":"F32","data_offsets":[0,4]}})"), "missing shape for w"},
      {"negative dim", file_of("{" + tensor("w", "F32", "[-1]", "[0,4]") + "}"), "missing shape for w"},
      {"non-numeric dim", file_of("{" + tensor("w", "F32", "[1,x]", "[0,4]") + "}"), "missing shape for w"},
      {"empty dim", file_of("{" + tensor("w", "F32", "[1,]", "[0,4]") + "}"), "missing shape for w"},
      {"lone plus", file_of("{" + tensor("w", "F32", "[+]", "[0,4]") + "}"), "missing shape for w"},
      {"two signs", file_of("{" + tensor("w", "F32", "[++1]", "[0,4]") + "}"), "missing shape for w"},
      {"fraction", file_of("{" + tensor("w", "F32", "[1.0]", "[0,4]") + "}"), "missing shape for w"},
      {"dim of 2^64", file_of("{" + tensor("w", "F32", "[18446744073709551616]", "[0,4]") + "}"),
       "missing shape for w"},
      {"shape not a list", file_of(R"({"w":{"dtype":"F32","shape":3}})"), "missing shape for w"},
      {"no data_offsets", file_of(R"({"w":{"dtype":"F32","shape":[1]}})"), "missing data_offsets for w"},
      {"negative offset", file_of("{" + tensor("w", "F32", "[1]", "[0,-4]") + "}"),
       "missing data_offsets for w"},
      {"three offsets", file_of("{" + tensor("w", "F32", "[1]", "[0, 4, 8]") + "}"),
       "data_offsets must have 2 elements"},
      {"one offset", file_of("{" + tensor("w", "F32", "[1]", "[4]") + "}"), "data_offsets must have 2 elements"},
      {"no offsets", file_of("{" + tensor("w", "F32", "[1]", "[]") + "}"), "data_offsets must have 2 elements"},
      {"F64", file_of("{" + tensor("w", "F64", "[1]", "[0,8]") + "}"), "unknown dtype F64"},
      {"lower case", file_of("{" + tensor("w", "f32", "[1]", "[0,4]") + "}"), "unknown dtype f32"},
      {"empty dtype", file_of("{" + tensor("w", "", "[1]", "[0,4]") + "}"), "unknown dtype "},
      {"published U8 is not read", file_of("{" + tensor("w", "U8", "[1]", "[0,1]") + "}"), "unknown dtype U8"},
      // Several faults in one entry: dtype presence, shape, offsets, their count, the dtype name.
      {"no dtype and bad shape", file_of(R"({"w":{"shape":[x],"data_offsets":[0]}})"), "missing dtype for w"},
      {"unknown dtype and bad shape", file_of("{" + tensor("w", "F64", "[-1]", "[0]") + "}"), "missing shape for w"},
      {"unknown dtype and bad offsets", file_of("{" + tensor("w", "F64", "[1]", "[x]") + "}"),
       "missing data_offsets for w"},
      {"a bad offset outranks the count", file_of("{" + tensor("w", "F32", "[1]", "[0,4,x]") + "}"),
       "missing data_offsets for w"},
      {"unknown dtype and offset count", file_of("{" + tensor("w", "F64", "[1]", "[0,4,8]") + "}"),
       "data_offsets must have 2 elements"},
      // Entries are checked in header order, not by name.
      {"first entry's fault wins",
       file_of("{" + tensor("b", "F32", "[-1]", "[0,4]") + "," + tensor("a", "F64", "[1]", "[0,4]") + "}"),
       "missing shape for b"},
      {"a good entry before a bad one", file_of("{" + ok_a + "," + tensor("z", "I2", "[1]", "[0,1]") + "}"),
       "unknown dtype I2"},
      // The name is the key as written: escapes are not decoded.
      {"escaped key", file_of(R"({"a\"b\\":{"shape":[1]}})"), R"(missing dtype for a\"b\\)"},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_error(c.file), c.message) << c.what;
}

TEST(SafetensorsHeader, AcceptedForms) {
  struct Case {
    const char* what;
    std::string header;
    Dims shape;
    uint64_t begin, end;
  };
  const Case cases[] = {
      {"compact", "{" + tensor("w", "F32", "[2,3]", "[0,24]") + "}", {2, 3}, 0, 24},
      {"spaces around numbers", "{" + tensor("w", "F32", "[ 2 , 3 ]", "[ 0 , 24 ]") + "}", {2, 3}, 0, 24},
      {"plus signs", "{" + tensor("w", "F32", "[+2, +3]", "[+0, +24]") + "}", {2, 3}, 0, 24},
      {"scalar", "{" + tensor("w", "F32", "[]", "[0,4]") + "}", {}, 0, 4},
      {"largest dims", "{" + tensor("w", "F32", "[18446744073709551615, 1]", "[7, 18446744073709551615]") + "}",
       {kMax, 1}, 7, kMax},
      {"leading zeros", "{" + tensor("w", "F32", "[007]", "[00,28]") + "}", {7}, 0, 28},
      {"fields in another order",
       R"({"w": {"data_offsets": [4, 8], "shape": [1], "dtype": "F32"}})", {1}, 4, 8},
      {"pretty printed",
       "\n{\n  \"w\": {\n    \"dtype\": \"F32\",\n    \"shape\": [\n      1\n    ],\n"
       "    \"data_offsets\": [\n      0,\n      4\n    ]\n  }\n}\n",
       {1}, 0, 4},
      // Unicode white space around the object is trimmed too.
      {"no-break spaces", "\xC2\xA0{" + tensor("w", "F32", "[1]", "[0,4]") + "}\xE3\x80\x80", {1}, 0, 4},
  };
  for (const auto& c : cases) {
    auto f = SafetensorsFile::parse(file_of(c.header));
    ASSERT_TRUE(f) << c.what << ": " << message(f.error());
    const auto* t = f->info("w");
    ASSERT_NE(t, nullptr) << c.what;
    EXPECT_EQ(t->dtype, Dtype::F32) << c.what;
    EXPECT_EQ(t->shape, c.shape) << c.what;
    EXPECT_EQ(t->begin, c.begin) << c.what;
    EXPECT_EQ(t->end, c.end) << c.what;
    EXPECT_EQ(f->tensors().size(), 1u) << c.what;
  }
}

TEST(SafetensorsHeader, TableDataSectionAndDtypes) {
  {  // An empty object surrounded by spaces is an empty file; the data section is what follows.
    auto f = SafetensorsFile::parse(file_of("   {}  ", {1, 2, 3}));
    ASSERT_TRUE(f);
    EXPECT_TRUE(f->tensors().empty());
    EXPECT_TRUE(f->metadata().empty());
    EXPECT_EQ(Bytes(f->data().begin(), f->data().end()), (Bytes{1, 2, 3}));
  }
  {  // Five dtype codes in order; a repeated name keeps its last entry.
    auto f = parse_ok("{" + tensor("a", "F32", "[1]", "[0,4]") + "," + tensor("b", "BF16", "[1]", "[0,2]") + "," +
                      tensor("c", "F16", "[1]", "[0,2]") + "," + tensor("d", "I8", "[1]", "[0,1]") + "," +
                      tensor("e", "I4", "[2]", "[0,1]") + "," + tensor("a", "I8", "[3]", "[1,4]") + "}");
    EXPECT_EQ(f.tensors().size(), 5u);
    EXPECT_EQ(static_cast<int>(f.info("b")->dtype), 1);
    EXPECT_EQ(static_cast<int>(f.info("c")->dtype), 2);
    EXPECT_EQ(static_cast<int>(f.info("d")->dtype), 3);
    EXPECT_EQ(static_cast<int>(f.info("e")->dtype), 4);
    const auto* a = f.info("a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->dtype, Dtype::I8);
    EXPECT_EQ(a->shape, Dims{3});
    EXPECT_EQ(a->begin, 1u);
    EXPECT_EQ(f.info("A"), nullptr);
    EXPECT_EQ(f.info(""), nullptr);
  }
  {  // The whole file after the header becomes the data section, byte for byte.
    Bytes data(1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    auto f = parse_ok("{" + tensor("w", "I8", "[10]", "[990,1000]") + "}", data);
    EXPECT_EQ(Bytes(f.data().begin(), f.data().end()), data);
    auto raw = f.raw("w");
    ASSERT_TRUE(raw);
    EXPECT_EQ(Bytes(raw->begin(), raw->end()), Bytes(data.end() - 10, data.end()));
  }
}

TEST(SafetensorsMetadata, Rules) {
  using Map = std::unordered_map<std::string, std::string>;
  struct Case {
    const char* what;
    std::string header;
    Map expected;
  };
  const Case cases[] = {
      {"strings lose their quotes, other values stay raw",
       R"({"__metadata__":{"d_model":"512","num_heads":8,"flag":true,"empty":""}})",
       {{"d_model", "512"}, {"num_heads", "8"}, {"flag", "true"}, {"empty", ""}}},
      {"escapes are kept as written", R"({"__metadata__":{"k\"ey":"a\"b"}})", {{"k\\\"ey", "a\\\"b"}}},
      {"a raw value runs to the next comma or brace",
       R"({"__metadata__":{"n": 12 ,"m":-3.5e2 }})", {{"n", "12 "}, {"m", "-3.5e2 "}}},
      {"an object value is kept with its brackets",
       R"({"__metadata__":{"cfg":{"x":[1,2]},"k":"v"}})", {{"cfg", R"({"x":[1,2]})"}, {"k", "v"}}},
      {"a string value is not an object", R"({"__metadata__":"{\"a\":\"b\"}"})", {}},
      {"a number value is not an object", R"({"__metadata__":5})", {}},
      {"white space around the object", "{\"__metadata__\":  {\"a\":\"1\"}  }", {{"a", "1"}}},
      {"a repeated key keeps the last value", R"({"__metadata__":{"a":"1","a":"2"}})", {{"a", "2"}}},
      {"metadata after tensors", "{" + tensor("w", "F32", "[1]", "[0,4]") + R"(,"__metadata__":{"z":"q"}})",
       {{"z", "q"}}},
  };
  for (const auto& c : cases) {
    auto f = SafetensorsFile::parse(file_of(c.header));
    ASSERT_TRUE(f) << c.what << ": " << message(f.error());
    EXPECT_EQ(f->metadata(), c.expected) << c.what;
    EXPECT_EQ(f->info("__metadata__"), nullptr) << c.what;
  }
}

// Independent widening formulas, element by element.
float f16_reference(uint16_t h) {
  const int exp = (h >> 10) & 31, mant = h & 1023;
  const float sign = (h & 0x8000) ? -1.0f : 1.0f;
  if (exp == 31)
    return std::bit_cast<float>((static_cast<uint32_t>(h & 0x8000) << 16) | 0x7F800000u |
                                (static_cast<uint32_t>(mant) << 13));
  if (exp == 0) return sign * std::ldexp(static_cast<float>(mant), -24);
  return sign * std::ldexp(1.0f + static_cast<float>(mant) / 1024.0f, exp - 15);
}

int nibble(uint8_t b, bool high) {
  const int v = high ? b >> 4 : b & 15;
  return v >= 8 ? v - 16 : v;
}

TEST(SafetensorsConvert, EveryDtype) {
  Bytes data;
  auto put16 = [&](uint16_t v) {
    data.push_back(static_cast<uint8_t>(v));
    data.push_back(static_cast<uint8_t>(v >> 8));
  };
  const float f32s[] = {1.5f, -0.0f, std::numeric_limits<float>::infinity(),
                        std::bit_cast<float>(0x7FA00001u), std::numeric_limits<float>::denorm_min()};
  for (float v : f32s) {
    uint32_t b = std::bit_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) data.push_back(static_cast<uint8_t>(b >> (8 * i)));
  }
  const size_t f32_end = data.size();
  data.insert(data.end(), {0xAA, 0xBB, 0xCC});  // a trailing partial element is ignored
  const size_t bf16_begin = data.size();
  for (uint16_t v : {0x3F80, 0xC000, 0x7F80, 0x0001, 0xFFC1}) put16(v);
  data.push_back(0x3F);  // odd trailing byte
  const size_t f16_begin = data.size();
  for (uint16_t v = 0;; ++v) {  // all 65536 halves
    put16(v);
    if (v == 0xFFFF) break;
  }
  const size_t i8_begin = data.size();
  for (int v = 0; v < 256; ++v) data.push_back(static_cast<uint8_t>(v));
  const size_t end = data.size();

  auto at = [](size_t a, size_t b) { return "[" + std::to_string(a) + "," + std::to_string(b) + "]"; };
  auto f = parse_ok("{" + tensor("f32", "F32", "[5]", at(0, bf16_begin)) + "," +
                        tensor("bf16", "BF16", "[5]", at(bf16_begin, f16_begin)) + "," +
                        tensor("f16", "F16", "[65536]", at(f16_begin, i8_begin)) + "," +
                        tensor("i8", "I8", "[256]", at(i8_begin, end)) + "," +
                        tensor("i4", "I4", "[512]", at(i8_begin, end)) + "," +
                        tensor("empty", "F32", "[0]", at(end, end)) + "}",
                    data);
  ASSERT_EQ(f32_end, 20u);

  std::vector<float> expect(std::begin(f32s), std::end(f32s));
  EXPECT_EQ(bits_of(floats(f, "f32")), bits_of(expect));

  EXPECT_EQ(bits_of(floats(f, "bf16")),
            (std::vector<uint32_t>{0x3F800000u, 0xC0000000u, 0x7F800000u, 0x00010000u, 0xFFC10000u}));
  EXPECT_EQ(floats(f, "bf16")[0], 1.0f);

  const auto h = floats(f, "f16");
  ASSERT_EQ(h.size(), 65536u);
  for (uint32_t v = 0; v < 65536; ++v)
    ASSERT_EQ(std::bit_cast<uint32_t>(h[v]), std::bit_cast<uint32_t>(f16_reference(static_cast<uint16_t>(v))))
        << "half 0x" << std::hex << v;
  EXPECT_EQ(h[0x0001], std::ldexp(1.0f, -24));
  EXPECT_EQ(h[0x8001], -std::ldexp(1.0f, -24));
  EXPECT_EQ(h[0x7BFF], 65504.0f);

  const auto i8 = floats(f, "i8");
  const auto i4 = floats(f, "i4");
  ASSERT_EQ(i8.size(), 256u);
  ASSERT_EQ(i4.size(), 512u);
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(i8[b], static_cast<float>(b < 128 ? b : b - 256)) << b;
    EXPECT_EQ(i4[2 * b], static_cast<float>(nibble(static_cast<uint8_t>(b), false))) << b;
    EXPECT_EQ(i4[2 * b + 1], static_cast<float>(nibble(static_cast<uint8_t>(b), true))) << b;
  }
  EXPECT_TRUE(floats(f, "empty").empty());
}

TEST(SafetensorsConvert, I4ShapeCheck) {
  // Bytes 0x21 0xF8: low nibble first, so 1, 2, -8, -1.
  const Bytes data{0x21, 0xF8, 0x7F, 0x80, 0x00};
  struct Case {
    const char* what;
    std::string shape, offsets;
    std::vector<float> values;  // empty: treated as missing, with the notice
    std::string notice;
  };
  const Case cases[] = {
      {"shape [4] in 2 bytes", "[4]", "[0,2]", {1, 2, -8, -1}, ""},
      {"shape [2, 2]", "[2, 2]", "[0,2]", {1, 2, -8, -1}, ""},
      {"shape [5, 2] in 5 bytes", "[5,2]", "[0,5]", {1, 2, -8, -1, -1, 7, 0, -8, 0, 0}, ""},
      {"shape [0] of no bytes", "[0]", "[3,3]", {}, ""},
      {"shape [3] in 2 bytes", "[3]", "[0,2]", {},
       "[vorpel] I4 tensor shape mismatch: bytes*2=4 but shape=[3] (vol=3); returning empty\n"},
      {"shape [3, 4] in 5 bytes", "[3,4]", "[0,5]", {},
       "[vorpel] I4 tensor shape mismatch: bytes*2=10 but shape=[3, 4] (vol=12); returning empty\n"},
      {"empty shape is one value", "[]", "[0,1]", {},
       "[vorpel] I4 tensor shape mismatch: bytes*2=2 but shape=[] (vol=1); returning empty\n"},
      // Wrapping multiplication would give 0 == 2 * 0 here and accept it.
      {"overflowing product", "[9223372036854775808, 2]", "[1,1]", {},
       "[vorpel] I4 tensor shape mismatch: bytes*2=0 but shape=[9223372036854775808, 2] (vol=overflow); "
       "returning empty\n"},
      {"huge product, few bytes", "[4294967296, 4294967296, 4]", "[0,5]", {},
       "[vorpel] I4 tensor shape mismatch: bytes*2=10 but shape=[4294967296, 4294967296, 4] (vol=overflow); "
       "returning empty\n"},
  };
  for (const auto& c : cases) {
    auto f = parse_ok("{" + tensor("q", "I4", c.shape, c.offsets) + "}", data);
    testing::internal::CaptureStderr();
    auto r = f.get_f32("q");
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(r) << c.what;
    EXPECT_EQ(err, c.notice) << c.what;
    if (c.notice.empty()) {
      ASSERT_TRUE(r->has_value()) << c.what;
      EXPECT_EQ(**r, c.values) << c.what;
    } else {
      EXPECT_FALSE(r->has_value()) << c.what;
      // The stored bytes stay reachable for a consumer with its own layout.
      EXPECT_TRUE(f.raw("q")) << c.what;
    }
  }
  // Other dtypes never compare the shape with the byte count.
  auto f = parse_ok("{" + tensor("w", "I8", "[99]", "[0,2]") + "}", data);
  testing::internal::CaptureStderr();
  EXPECT_EQ(floats(f, "w"), (std::vector<float>{33, -8}));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(SafetensorsRequest, ByteRangesCheckedWhenRequested) {
  const Bytes data(16, 0x3C);
  struct Case {
    const char* what;
    std::string dtype, offsets, message;  // message empty: accepted
    size_t count;
  };
  const Case cases[] = {
      {"whole section", "I8", "[0,16]", "", 16},
      {"empty range at the end", "F32", "[16,16]", "", 0},
      {"one past the end", "I8", "[0,17]", "tensor t has data_offsets [0, 17] past the end of the 16-byte data section", 0},
      {"begins past the end", "F16", "[20,24]", "tensor t has data_offsets [20, 24] past the end of the 16-byte data section", 0},
      {"reversed", "F32", "[8,4]", "tensor t has data_offsets [8, 4] that end before they begin", 0},
      {"reversed and past the end", "I4", "[30,20]", "tensor t has data_offsets [30, 20] that end before they begin", 0},
      {"near 2^64", "BF16", "[18446744073709551614,18446744073709551615]",
       "tensor t has data_offsets [18446744073709551614, 18446744073709551615] past the end of the 16-byte "
       "data section",
       0},
  };
  for (const auto& c : cases) {
    // Parsing never looks at the ranges.
    auto f = parse_ok("{" + tensor("t", c.dtype, "[0]", c.offsets) + "}", data);
    auto got = f.get_f32("t");
    auto raw = f.raw("t");
    if (c.message.empty()) {
      ASSERT_TRUE(got && *got) << c.what;
      EXPECT_EQ((*got)->size(), c.count) << c.what;
      ASSERT_TRUE(raw) << c.what;
    } else {
      ASSERT_FALSE(got) << c.what;
      EXPECT_EQ(message(got.error()), c.message) << c.what;
      ASSERT_FALSE(raw) << c.what;
      EXPECT_EQ(message(raw.error()), c.message) << c.what;
    }
  }
  auto f = parse_ok("{" + tensor("t", "F32", "[1]", "[0,4]") + "}", data);
  auto absent = f.get_f32("u");
  ASSERT_TRUE(absent);
  EXPECT_FALSE(absent->has_value());
  auto raw = f.raw("u");
  ASSERT_FALSE(raw);
  EXPECT_EQ(message(raw.error()), "no tensor named u");
}

}  // namespace

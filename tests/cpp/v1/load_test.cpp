// First-generation loading: metadata reading, the checks in their order with
// their texts, the size checks on every weight (each a load error, never a
// crash or an unbounded allocation), the warnings on standard error in
// reading order, and pre-quantised weights against weights quantised at load.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "v1/v1_files.hpp"
#include "vorpel/v1/loader.hpp"

namespace {

using namespace vorpel::v1;
using v1test::Metadata;
using v1test::Tensor;

Metadata with(Metadata md, const std::string& key, const std::string& value) {
  for (auto& [k, v] : md)
    if (k == key) {
      v = value;
      return md;
    }
  md.emplace_back(key, value);
  return md;
}

// d_model 4, two heads of 2 sharing one kv head, one block each side, ffn 3.
Metadata tiny(bool ffn = true) {
  return {{"d_model", "4"},    {"num_heads", "2"}, {"num_kv_heads", "1"}, {"num_encoder_layers", "1"},
          {"num_decoder_layers", "1"}, {"vocab_size", "6"}, {"ffn_dim", "3"},
          {"no_feedforward", ffn ? "false" : "true"},  {"max_enc_len", "8"}, {"max_dec_len", "4"}};
}

Tensor embedding(uint64_t vocab = 6, uint64_t d = 4) {
  return v1test::f32("embedding", {vocab, d}, std::vector<float>(vocab * d, 0.25f));
}

std::expected<V1Model, vorpel::LoadError> load(const std::vector<Tensor>& t, const Metadata& md,
                                               std::vector<std::string>* warnings = nullptr) {
  v1test::StderrCapture cap;
  auto file = vorpel::st::SafetensorsFile::parse(v1test::safetensors(t, md));
  if (!file) return std::unexpected(vorpel::LoadError(file.error()));
  auto m = build_model(*file);
  if (warnings) *warnings = cap.lines();
  return m;
}

// Pre-quantised form of w (in rows of out values) under `name`.
std::vector<Tensor> prequant(const std::string& name, uint64_t in, uint64_t out, const std::vector<float>& w) {
  const QuantLinear q = QuantLinear::quantize(in, out, w);
  return {v1test::raw(name, "I4", {(in + 1) / 2 * 2, out}, {q.packed().begin(), q.packed().end()}),
          v1test::f32(name + ".scale", {(in + 31) / 32, out}, {q.scales().begin(), q.scales().end()})};
}

TEST(V1Config, MetadataValues) {
  struct Case {
    std::unordered_map<std::string, std::string> md;
    V1Config want;
  };
  auto cfg = [](auto f) {
    V1Config c;
    f(c);
    return c;
  };
  const Case cases[] = {
      {{}, V1Config{}},
      {{{"max_seq_len", "256"}}, cfg([](V1Config& c) { c.max_enc_len = 256; })},
      {{{"max_seq_len", "256"}, {"max_enc_len", "7"}}, cfg([](V1Config& c) { c.max_enc_len = 7; })},
      {{{"max_seq_len", "9"}, {"max_enc_len", "x"}}, cfg([](V1Config& c) { c.max_enc_len = 9; })},
      {{{"no_feedforward", "1"}}, V1Config{}},
      {{{"no_feedforward", "True"}}, V1Config{}},
      {{{"no_feedforward", "true"}}, V1Config{}},
      {{{"no_feedforward", "TRUE"}}, cfg([](V1Config& c) { c.no_feedforward = false; })},
      {{{"no_feedforward", "0"}}, cfg([](V1Config& c) { c.no_feedforward = false; })},
      {{{"no_feedforward", "false"}}, cfg([](V1Config& c) { c.no_feedforward = false; })},
      {{{"no_feedforward", ""}}, cfg([](V1Config& c) { c.no_feedforward = false; })},
      {{{"d_model", "+64"}, {"ffn_dim", "-3"}, {"vocab_size", ""}, {"num_heads", "+"}}, cfg([](V1Config& c) {
         c.d_model = 64;
       })},
      {{{"num_encoder_layers", "18446744073709551615"}, {"num_decoder_layers", "18446744073709551616"},
        {"max_dec_len", " 3"}},
       cfg([](V1Config& c) { c.num_encoder_layers = UINT64_MAX; })},
      {{{"activation", "swiglu"}}, cfg([](V1Config& c) { c.activation = Activation::SwiGlu; })},
      {{{"activation", "geglu"}}, cfg([](V1Config& c) { c.activation = Activation::GeGlu; })},
      {{{"activation", "SwiGLU"}}, V1Config{}},
      {{{"rope_theta", "1e6"}}, cfg([](V1Config& c) { c.rope_theta = 1e6f; })},
      {{{"rope_theta", "ten"}}, V1Config{}},
      {{{"rope_theta", "-inf"}}, cfg([](V1Config& c) { c.rope_theta = -INFINITY; })},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const V1Config got = read_config(cases[i].md), &w = cases[i].want;
    EXPECT_EQ(got.max_enc_len, w.max_enc_len) << i;
    EXPECT_EQ(got.activation, w.activation) << i;
    EXPECT_EQ(got.d_model, w.d_model) << i;
    EXPECT_EQ(got.num_heads, w.num_heads) << i;
    EXPECT_EQ(got.num_kv_heads, w.num_kv_heads) << i;
    EXPECT_EQ(got.num_encoder_layers, w.num_encoder_layers) << i;
    EXPECT_EQ(got.num_decoder_layers, w.num_decoder_layers) << i;
    EXPECT_EQ(got.vocab_size, w.vocab_size) << i;
    EXPECT_EQ(got.max_dec_len, w.max_dec_len) << i;
    EXPECT_EQ(got.ffn_dim, w.ffn_dim) << i;
    EXPECT_EQ(got.no_feedforward, w.no_feedforward) << i;
    EXPECT_EQ(got.rope_theta, w.rope_theta) << i;
  }
}

struct BadFile {
  const char* what;
  Metadata md;
  std::vector<Tensor> tensors;
  std::string want;
};

std::vector<BadFile> bad_files() {
  const std::vector<float> w43(12, 0.5f);
  std::vector<Tensor> short_packed = prequant("encoder.0.self_attn.wq", 4, 4, std::vector<float>(16, 1.0f));
  short_packed[0].bytes.pop_back();
  short_packed[0].shape = {2, 3};
  std::vector<Tensor> scale_rows = prequant("encoder.0.self_attn.wq", 4, 4, std::vector<float>(16, 1.0f));
  scale_rows[1] = v1test::f32("encoder.0.self_attn.wq.scale", {2, 4}, std::vector<float>(8, 1.0f));
  std::unordered_map<std::string, std::string> md;
  for (const auto& [k, v] : with(tiny(), "ffn_dim", "100000000")) md[k] = v;
  const uint64_t huge_ffn = weight_memory_bytes(read_config(md));  // about 2.9e9: three 10^8-wide linears per block
  EXPECT_GT(huge_ffn, 2'900'000'000u);
  return {
      // The checks run in their fixed order: each case also breaks every later check.
      {"heads", with(with(tiny(), "num_heads", "0"), "vocab_size", "0"), {}, "num_heads must be > 0"},
      {"kv heads", with(with(tiny(), "num_kv_heads", "0"), "d_model", "0"), {}, "num_kv_heads must be > 0"},
      {"width", with(with(tiny(), "d_model", "0"), "num_heads", "3"), {}, "d_model must be > 0"},
      {"width split", with(with(with(tiny(), "d_model", "10"), "num_heads", "4"), "num_kv_heads", "3"), {},
       "d_model must be divisible by num_heads"},
      {"groups", with(with(with(tiny(), "num_heads", "8"), "num_kv_heads", "3"), "d_model", "16"), {},
       "num_heads must be divisible by num_kv_heads"},
      {"vocab", with(tiny(), "vocab_size", "0"), {}, "vocab_size must be > 0"},
      {"ffn width", with(tiny(), "ffn_dim", "0"), {embedding()},
       "ffn_dim must be > 0 when the feed-forward blocks are enabled"},
      {"no embedding", tiny(), {}, "missing embedding tensor"},
      {"embedding size", tiny(), {v1test::f32("embedding", {5, 4}, std::vector<float>(20, 1.0f))},
       "embedding size mismatch: got 20, expected 24"},
      {"embedding product", with(with(tiny(), "vocab_size", "4294967296"), "d_model", "4294967296"), {embedding()},
       "embedding size mismatch: vocab_size 4294967296 x d_model 4294967296 does not fit in 64 bits"},
      // 64 MiB plus four times the 96 data bytes.
      {"layer count", with(tiny(), "num_encoder_layers", "100000000000000000"), {embedding()},
       "the configuration needs more than 2^64 bytes of weights in memory, more than the 67109248 allowed for "
       "this file"},
      {"ffn width huge", with(tiny(), "ffn_dim", "100000000"), {embedding()},
       "the configuration needs " + std::to_string(huge_ffn) +
           " bytes of weights in memory, more than the 67109248 allowed for this file"},
      {"packed bytes", tiny(), [&] {
         auto t = short_packed;
         t.insert(t.begin(), embedding());
         return t;
       }(),
       "pre-quantised encoder.0.self_attn.wq holds 7 bytes, expected 8 for 4 x 4"},
      {"scale groups", tiny(), [&] {
         auto t = scale_rows;
         t.insert(t.begin(), embedding());
         return t;
       }(),
       "encoder.0.self_attn.wq.scale has 2 groups per column, expected 1 for 4 rows"},
      {"float weight count", tiny(), {embedding(), v1test::f32("encoder.0.ffn.gate_proj", {4, 3}, w43),
                                      v1test::f32("encoder.0.ffn.up_proj", {3, 3}, std::vector<float>(9, 1.0f))},
       "encoder.0.ffn.up_proj holds 9 values, expected 12 (4 x 3)"},
      {"norm length", tiny(false), {embedding(), v1test::f32("decoder.0.cross_attn.k_norm", {3}, {1, 2, 3})},
       "decoder.0.cross_attn.k_norm holds 3 values, expected 2"},
      {"final norm", tiny(false), {embedding(), v1test::f32("decoder_final_norm", {5}, {1, 2, 3, 4, 5})},
       "decoder_final_norm holds 5 values, expected 4"},
      {"empty gate", tiny(false), {embedding(), v1test::f32("encoder.0.self_attn_gate", {0}, {})},
       "gate encoder.0.self_attn_gate holds no value"},
      {"range", tiny(false), {embedding(), v1test::raw("encoder.0.norm", "F32", {4}, {})}, ""},
  };
}

TEST(V1Load, BadFilesFailWithTheirText) {
  for (const BadFile& b : bad_files()) {
    std::vector<Tensor> t = b.tensors;
    std::vector<uint8_t> bytes = v1test::safetensors(t, b.md);
    std::expected<V1Model, vorpel::LoadError> m = std::unexpected(vorpel::LoadError(vorpel::io::IoError{}));
    if (std::string(b.what) == "range") {
      // A byte range past the data section, written by hand.
      std::string h = "{\"__metadata__\":{\"d_model\":\"4\",\"num_heads\":\"2\",\"num_kv_heads\":\"1\","
                      "\"vocab_size\":\"1\",\"num_encoder_layers\":\"1\",\"num_decoder_layers\":\"0\"},"
                      "\"embedding\":{\"dtype\":\"F32\",\"shape\":[1,4],\"data_offsets\":[0,16]},"
                      "\"encoder.0.norm\":{\"dtype\":\"F32\",\"shape\":[4],\"data_offsets\":[16,40]}}";
      bytes.assign(8, 0);
      const uint64_t n = h.size();
      std::memcpy(bytes.data(), &n, 8);
      bytes.insert(bytes.end(), h.begin(), h.end());
      bytes.resize(bytes.size() + 32, 0);
      v1test::StderrCapture cap;
      auto file = vorpel::st::SafetensorsFile::parse(bytes);
      ASSERT_TRUE(file.has_value());
      m = build_model(*file);
      ASSERT_FALSE(m.has_value());
      EXPECT_EQ(vorpel::message(m.error()),
                "tensor encoder.0.norm has data_offsets [16, 40] past the end of the 32-byte data section");
      continue;
    }
    m = load(t, b.md);
    ASSERT_FALSE(m.has_value()) << b.what;
    EXPECT_EQ(vorpel::message(m.error()), b.want) << b.what;
  }
}

TEST(V1Load, WarningsComeInReadingOrder) {
  // Everything missing but the embedding, a weight whose scale does not divide
  // by its columns (re-quantised from its own values), an I4 tensor whose
  // shape does not match its bytes (missing), and a contrastive head with an
  // empty bias (skipped).
  std::vector<Tensor> t = {embedding(),
                           v1test::f32("decoder.0.self_attn.wk", {4, 2}, std::vector<float>(8, 1.0f)),
                           v1test::f32("decoder.0.self_attn.wk.scale", {3}, {1, 1, 1}),
                           v1test::raw("decoder.0.cross_attn.wo", "I4", {5}, {0x12, 0x34}),
                           v1test::f32("contrastive_hidden_kernel", {4, 1}, {1, 2, 3, 4}),
                           v1test::f32("contrastive_hidden_bias", {0}, {}),
                           v1test::f32("contrastive_proj_kernel", {1, 2}, {1, 2})};
  std::vector<std::string> w;
  auto m = load(t, tiny(), &w);
  ASSERT_TRUE(m.has_value()) << vorpel::message(m.error());
  auto miss = [](const std::string& n) { return "Warning: missing tensor " + n + ", using zeros"; };
  std::vector<std::string> want;
  for (const char* side : {"encoder.0", "decoder.0"}) {
    const std::string p = side;
    for (const char* f : {".ffn.gate_proj", ".ffn.up_proj", ".ffn.down_proj"}) want.push_back(miss(p + f));
    for (const char* a : {".wq", ".wk", ".wv", ".wo"}) {
      if (p + a == "decoder.0.wk")
        want.push_back("Warning: decoder.0.self_attn.wk.scale length 3 is not divisible by out_feat 2; falling "
                       "back to re-quantize");
      else
        want.push_back(miss(p + ".self_attn" + a));
    }
    if (p == "decoder.0") {
      for (const char* a : {".wq", ".wk", ".wv"}) want.push_back(miss(p + ".cross_attn" + a));
      want.push_back("[vorpel] I4 tensor shape mismatch: bytes*2=4 but shape=[5] (vol=5); returning empty");
      want.push_back(miss(p + ".cross_attn.wo"));
    }
  }
  want.push_back("[vorpel] contrastive head shape mismatch \u2014 skipping");
  EXPECT_EQ(w, want);
  EXPECT_FALSE(m->contrastive.has_value());
  EXPECT_EQ(m->contrastive_dim(), 0u);
  // The re-quantised weight holds the file's values; missing ones are zeros.
  EXPECT_EQ(m->decoder[0].self_attn.wk.code(3, 1), 7);
  EXPECT_EQ(m->decoder[0].self_attn.wq.code(0, 0), 0);
  EXPECT_EQ(m->decoder[0].self_attn_gate, 0.0f);
  EXPECT_EQ(m->decoder[0].ffn->norm, std::vector<float>(4, 0.0f));
}

TEST(V1Load, PrequantisedEqualsQuantisedAtLoad) {
  std::mt19937_64 rng(5);
  const Metadata md = with(with(with(tiny(), "d_model", "6"), "num_heads", "3"), "ffn_dim", "37");
  std::vector<Tensor> floats = {embedding(6, 6)}, packed = {embedding(6, 6)};
  struct L {
    std::string name;
    uint64_t in, out;
  };
  const L ls[] = {{"encoder.0.ffn.gate_proj", 6, 37}, {"encoder.0.ffn.down_proj", 37, 6}, {"decoder.0.self_attn.wv", 6, 2}};
  for (const L& l : ls) {
    const auto w = v1test::normal(l.in * l.out, 1.0f, rng);
    floats.push_back(v1test::f32(l.name, {l.in, l.out}, w));
    for (auto& t : prequant(l.name, l.in, l.out, w)) packed.push_back(std::move(t));
  }
  auto a = load(floats, md), b = load(packed, md);
  ASSERT_TRUE(a && b);
  const QuantLinear* qa[] = {&a->encoder[0].ffn->gate_proj, &a->encoder[0].ffn->down_proj, &a->decoder[0].self_attn.wv};
  const QuantLinear* qb[] = {&b->encoder[0].ffn->gate_proj, &b->encoder[0].ffn->down_proj, &b->decoder[0].self_attn.wv};
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(std::ranges::equal(qa[i]->packed(), qb[i]->packed())) << ls[i].name;
    EXPECT_TRUE(std::ranges::equal(qa[i]->scales(), qb[i]->scales())) << ls[i].name;
  }
}

TEST(V1Load, ContrastiveHeadAndDerivedTables) {
  std::vector<Tensor> t = {embedding(), v1test::f32("contrastive_hidden_kernel", {4, 3}, std::vector<float>(12, 1)),
                           v1test::f32("contrastive_hidden_bias", {3}, {1, 2, 3}),
                           v1test::f32("contrastive_proj_kernel", {3, 5}, std::vector<float>(15, 1))};
  auto m = load(t, with(tiny(false), "max_dec_len", "300"));
  ASSERT_TRUE(m.has_value());
  ASSERT_TRUE(m->contrastive.has_value());
  EXPECT_EQ(m->contrastive->hidden, 3u);
  EXPECT_EQ(m->contrastive_dim(), 5u);
  EXPECT_EQ(m->rope.head_dim(), 2u);
  EXPECT_EQ(m->config.rope_positions(), 300u);
  EXPECT_FALSE(m->encoder[0].ffn.has_value());
  EXPECT_FALSE(m->encoder[0].cross.has_value());
  EXPECT_TRUE(m->decoder[0].cross.has_value());
  // A projection kernel whose count H does not divide: skipped.
  t.back() = v1test::f32("contrastive_proj_kernel", {7}, std::vector<float>(7, 1));
  std::vector<std::string> w;
  m = load(t, tiny(false), &w);
  ASSERT_TRUE(m.has_value());
  EXPECT_FALSE(m->contrastive.has_value());
  EXPECT_EQ(w.back(), "[vorpel] contrastive head shape mismatch \u2014 skipping");
}

TEST(V1Load, NoMetadataGivesTheDefaultGeometry) {
  std::vector<std::string> w;
  auto m = load({embedding(8192, 512)}, {}, &w);
  ASSERT_TRUE(m.has_value()) << vorpel::message(m.error());
  EXPECT_EQ(m->encoder.size(), 12u);
  EXPECT_EQ(m->decoder.size(), 8u);
  EXPECT_FALSE(m->encoder[0].ffn.has_value());
  EXPECT_EQ(m->config.max_enc_len, 1024u);
  EXPECT_EQ(m->decoder[7].cross->attn.wk.out_features(), 256u);
  EXPECT_EQ(w.size(), 12u * 4 + 8u * 8);  // every linear weight of both stacks is missing
}

}  // namespace

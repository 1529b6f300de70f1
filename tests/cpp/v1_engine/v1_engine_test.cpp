// First-generation engine operations on small hand-built models whose
// outputs are known: with every branch weight missing, the decoder's logits
// are dot(normalised embedding of the input token, embedding row), so the
// embedding alone scripts the generation. Covers the constraint from the
// first token, greedy ties, the end token, the prefix strip, aliases,
// streaming, the encoder layout, the contrastive operations and load errors.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "v1/v1_files.hpp"
#include "vorpel/v1_engine/v1_engine.hpp"

namespace {

using vorpel::v1::V1Engine;
using v1test::Metadata;
using v1test::Tensor;

const std::string kMark = "\u2581";

std::string lines(const std::vector<std::string>& pieces) {
  std::string s;
  for (const auto& p : pieces) s += p + "\n";
  return s;
}

// One block each side, width 4, one head; no feed-forward.
Metadata geometry(uint64_t vocab, uint64_t max_dec, uint64_t max_enc = 16) {
  return {{"d_model", "4"},          {"num_heads", "1"},           {"num_kv_heads", "1"},
          {"num_encoder_layers", "1"}, {"num_decoder_layers", "1"}, {"vocab_size", std::to_string(vocab)},
          {"max_dec_len", std::to_string(max_dec)}, {"max_enc_len", std::to_string(max_enc)}};
}

// Row v of the embedding is rows[v] (missing rows are zeros).
Tensor embedding(uint64_t vocab, const std::vector<std::pair<uint32_t, std::vector<float>>>& rows = {}) {
  std::vector<float> e(vocab * 4, 0.0f);
  for (const auto& [v, r] : rows) std::copy(r.begin(), r.end(), e.begin() + v * 4);
  return v1test::f32("embedding", {vocab, 4}, e);
}

V1Engine make(const Metadata& md, std::vector<Tensor> tensors, const std::string& vocab) {
  v1test::StderrCapture quiet;  // the missing-weight warnings
  auto e = V1Engine::from_bytes(v1test::safetensors(tensors, md), vocab);
  if (!e) throw std::runtime_error(vorpel::message(e.error()));
  return std::move(*e);
}

// Ids 0..5 special, then pieces a tool call is typed with; the highest id is
// the opening of a name field.
const std::vector<std::string> kToolPieces = {"<pad>", "</s>", "<s>",      "<unk>", "<out>", "<sep>",
                                              kMark + "weather", "get", "_weather", "\"}", "zz", "{\"name\":\""};

TEST(V1Engine, ConstraintActsFromTheFirstTokenOverPieceTexts) {
  // All logits are 0: greedy takes the highest allowed id every step.
  const V1Engine e = make(geometry(12, 4), {embedding(12)}, lines(kToolPieces));
  struct Case {
    const char* tools;
    std::vector<uint32_t> ids;
    std::string text;
  } cases[] = {
      {"[{\"name\":\"get_weather\"}]", {11, 7, 8, 9}, "{\"name\":\"get_weather\"}"},
      // The model is shown get_weather; the answer names the tool as written.
      {"[{\"name\":\"getWeather\",\"parameters\":{}}]", {11, 7, 8, 9}, "{\"name\":\"getWeather\"}"},
      // No tool can be read: nothing is constrained.
      {"[{\"name\": \"get_weather\"}]", {11, 11, 11, 11}, "{\"name\":\"{\"name\":\"{\"name\":\"{\"name\":\""},
  };
  for (const Case& c : cases) {
    std::vector<std::pair<uint32_t, std::string>> streamed;
    const vorpel::v1::StreamCallback cb = [&](uint32_t t, std::string_view p) { streamed.emplace_back(t, p); };
    const auto r = e.generate("weather", c.tools, &cb);
    EXPECT_EQ(r.token_ids, c.ids) << c.tools;
    EXPECT_EQ(r.text, c.text) << c.tools;
    ASSERT_EQ(streamed.size(), c.ids.size());
    for (size_t i = 0; i < c.ids.size(); ++i) {
      EXPECT_EQ(streamed[i].first, c.ids[i]);
      EXPECT_EQ(streamed[i].second, e.vocab().piece_text(c.ids[i]));
    }
    EXPECT_EQ(e.run("weather", c.tools), c.text);
    EXPECT_EQ(e.run_stream("weather", c.tools, [](uint32_t, std::string_view) {}), c.text);
  }
  const auto batch = e.run_batch({{"weather", cases[1].tools}, {"weather", cases[0].tools}, {"", ""}});
  EXPECT_EQ(batch, (std::vector<std::string>{cases[1].text, cases[0].text, ""}));
}

TEST(V1Engine, EndTokenPrefixAndTies) {
  const std::vector<float> big = {3, 0, 0, 0}, unit = {1, 0, 0, 0};
  struct Case {
    const char* what;
    uint64_t vocab, max_dec;
    std::vector<std::pair<uint32_t, std::vector<float>>> rows;
    std::vector<uint32_t> ids;
    std::string text;
  } cases[] = {
      // The end token's row points along the start token's: it wins at once.
      {"end first", 12, 5, {{1, big}, {7, unit}}, {}, ""},
      // Token 4 wins every step; its piece is stripped from the start once.
      {"prefix", 12, 3, {{1, unit}, {4, big}}, {4, 4, 4}, "<out><out>"},
      // Equal largest logits: the highest id.
      {"tie", 12, 2, {{1, unit}, {6, big}, {7, big}}, {7, 7}, "getget"},
      // One embedding row: every id reads it (the start and separator ids
      // included) and the only choice is token 0.
      {"one row", 1, 3, {}, {0, 0, 0}, "<pad><pad><pad>"},
      // max_dec_len 0 still produces the first token.
      {"no decoder room", 12, 0, {{1, unit}, {7, big}}, {7}, "get"},
  };
  for (const Case& c : cases) {
    const V1Engine e = make(geometry(c.vocab, c.max_dec), {embedding(c.vocab, c.rows)}, lines(kToolPieces));
    int calls = 0;
    const vorpel::v1::StreamCallback cb = [&](uint32_t t, std::string_view) {
      EXPECT_NE(t, 1u);
      ++calls;
    };
    v1test::StderrCapture cap;
    const auto r = e.generate("get", "", &cb);
    const auto warnings = cap.lines();
    EXPECT_EQ(r.token_ids, c.ids) << c.what;
    EXPECT_EQ(r.text, c.text) << c.what;
    EXPECT_EQ(calls, static_cast<int>(c.ids.size())) << c.what;
    // Only a decoder with no room writes the cache notice: once for its block, at the start token.
    EXPECT_EQ(warnings, c.max_dec == 0 ? std::vector<std::string>{"[vorpel-core] KV cache full at 0 steps \u2014 output "
                                                                  "will degrade"}
                                       : std::vector<std::string>{})
        << c.what;
  }
}

TEST(V1Engine, EmptyInputRunsNoModel) {
  // With max_dec_len 0 any decoder step would write its notice.
  const V1Engine e = make(geometry(12, 0), {embedding(12)}, lines(kToolPieces));
  v1test::StderrCapture cap;
  EXPECT_EQ(e.run("", ""), "");
  EXPECT_EQ(e.run(" \t\n", "  "), "");
  EXPECT_TRUE(cap.lines().empty());
  EXPECT_TRUE(e.encoder_input("", "").empty());
}

TEST(V1Engine, EncoderInputLayout) {
  // Greedy vocabulary: "a" and "b" as whole words, and "b" inside one (the
  // tool text loses its spaces).
  const std::string vocab =
      lines({"<pad>", "</s>", "<s>", "<unk>", "<out>", "<sep>", kMark + "a", kMark + "b", "b"});
  const std::string ten = "a a a a a a a a a a";
  struct Case {
    uint64_t max_enc;
    std::string query, tools;
    std::vector<uint32_t> want;
  } cases[] = {
      {8, ten, "b b", {6, 6, 6, 6, 6, 6, 5, 7}},
      {8, "a", "b b b", {6, 5, 7, 8, 8}},
      {3, "a a", "b b", {6, 5, 7}},
      {2, "a a", "b", {5, 7}},
      {1, "a", "b", {5}},
      {0, "a", "b", {}},
      {8, "", "b", {5, 7}},
      {8, "a", "", {6, 5}},
  };
  for (const Case& c : cases) {
    const V1Engine e = make(geometry(9, 4, c.max_enc), {embedding(9)}, vocab);
    EXPECT_EQ(e.encoder_input(c.query, c.tools), c.want) << c.max_enc << " " << c.query << " | " << c.tools;
  }
}

TEST(V1Engine, ToolTextRewriting) {
  using vorpel::v1::remove_space_outside_strings;
  using vorpel::v1::rewrite_tool_names;
  const std::vector<std::pair<std::string, std::string>> pairs = {{"getWeather", "get_weather"},
                                                                 {"a\\\"b", "a_b"},
                                                                 {"getWeather", "second"}};
  struct Case {
    std::string in, want;
  } cases[] = {
      {"[{\"name\": \"getWeather\", \"x\": 1}]", "[{\"name\": \"get_weather\", \"x\": 1}]"},
      {"{\"name\"\n:\t\"getWeather\"}", "{\"name\"\n:\t\"get_weather\"}"},
      {"{\"name\":\"getweather\"}", "{\"name\":\"getweather\"}"},
      {"{\"name\":\"a\\\"b\"}", "{\"name\":\"a_b\"}"},
      {"{\"name\":getWeather}", "{\"name\":getWeather}"},
      {"{\"name\" \"getWeather\"}", "{\"name\" \"getWeather\"}"},
      {"{\"name\":\"getWeather", "{\"name\":\"getWeather"},
      {"{\"name\":\"x\",\"n\":{\"name\":\"getWeather\"}}", "{\"name\":\"x\",\"n\":{\"name\":\"get_weather\"}}"},
      {"getWeather", "getWeather"},
  };
  for (const Case& c : cases) EXPECT_EQ(rewrite_tool_names(c.in, pairs), c.want) << c.in;

  EXPECT_EQ(remove_space_outside_strings("{ \"a b\" :\t\"c\\\" d\" ,\n\f\r\"e\":[1, 2]}"),
            "{\"a b\":\"c\\\" d\",\"e\":[1,2]}");
  EXPECT_EQ(remove_space_outside_strings("\"unterminated  string"), "\"unterminated  string");
}

TEST(V1Engine, ContrastiveOperations) {
  const std::string vocab = lines({"<pad>", "</s>", "<s>", "<unk>", "<out>", "<sep>", kMark + "a", kMark + "b"});
  const std::vector<std::pair<uint32_t, std::vector<float>>> rows = {
      {6, {1, 0.5f, -1, 0}}, {7, {0, 1, 0.25f, -2}}, {3, {-1, 1, 1, 1}}};
  const std::vector<Tensor> head = {
      v1test::f32("contrastive_hidden_kernel", {4, 2}, {1, -1, 0.5f, 2, -1, 1, 0.25f, 0}),
      v1test::f32("contrastive_hidden_bias", {2}, {0.1f, 0.2f}),
      v1test::f32("contrastive_proj_kernel", {2, 3}, {1, 2, -1, 0.5f, -1, 3})};
  std::vector<Tensor> t = {embedding(8, rows)};
  t.insert(t.end(), head.begin(), head.end());
  // The rotary tables cover max(4, 2) positions.
  const V1Engine e = make(geometry(8, 2, 4), t, vocab);
  EXPECT_EQ(e.contrastive_dim(), 3u);
  EXPECT_EQ(e.encode_contrastive(" \t\n"), (std::vector<float>{0, 0, 0}));
  const auto z = e.encode_contrastive("a b");
  ASSERT_TRUE(z.has_value());
  double ss = 0;
  for (float v : *z) ss += v * v;
  EXPECT_NEAR(ss, 1.0, 1e-5);
  // Cut to the first four tokens.
  EXPECT_EQ(e.encode_contrastive("a b b a b a a a b"), e.encode_contrastive("a b b a"));

  EXPECT_TRUE(e.retrieve_tools("a b", {"a", "b"}, 0).empty());
  const auto r = e.retrieve_tools("a b", {"b", "", "a", "b", "a b"}, 10);
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(r[0].first, 4u);  // the query itself
  EXPECT_NEAR(r[0].second, 1.0f, 1e-5f);
  for (size_t i = 1; i < r.size(); ++i) EXPECT_GE(r[i - 1].second, r[i].second);
  // Equal scores keep the descriptions' order; the empty one scores 0.
  auto pos = [&](uint64_t idx) { return std::find_if(r.begin(), r.end(), [&](auto& p) { return p.first == idx; }) - r.begin(); };
  EXPECT_LT(pos(0), pos(3));
  EXPECT_EQ(r[pos(1)].second, 0.0f);
  EXPECT_EQ(e.retrieve_tools("a b", {"b", "a", "b"}, 2).size(), 2u);

  const V1Engine plain = make(geometry(8, 2, 4), {embedding(8, rows)}, vocab);
  EXPECT_EQ(plain.contrastive_dim(), 0u);
  EXPECT_FALSE(plain.encode_contrastive("a").has_value());
  EXPECT_TRUE(plain.retrieve_tools("a", {"a"}, 1).empty());
}

TEST(V1Engine, HooksArePolledBetweenTokens) {
  const V1Engine e = make(geometry(12, 6), {embedding(12)}, lines(kToolPieces));
  int polls = 0;
  vorpel::CallHooks hooks;
  hooks.poll = [&] { ++polls; };
  EXPECT_EQ(e.generate("get", "", nullptr, hooks).token_ids.size(), 6u);
  EXPECT_GE(polls, 6);
  struct Stop {};
  hooks.poll = [&] {
    if (--polls < 0) throw Stop{};
  };
  polls = 3;
  EXPECT_THROW(e.run("get", "", hooks), Stop);
}

TEST(V1Engine, LoadErrors) {
  const std::string dir = ::testing::TempDir();
  const std::string weights = dir + "/v1_weights.safetensors", vocab = dir + "/v1_vocab.txt";
  {
    const auto bytes = v1test::safetensors({embedding(12)}, geometry(12, 2));
    std::ofstream(weights, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::ofstream(vocab, std::ios::binary) << "a\n\xff\n";
  }
  auto missing = V1Engine::load(dir + "/absent.safetensors", vocab);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(vorpel::message(missing.error()), "No such file or directory (os error 2)");
  auto bad_vocab = V1Engine::load(weights, vocab);
  ASSERT_FALSE(bad_vocab.has_value());
  EXPECT_EQ(vorpel::message(bad_vocab.error()), "stream did not contain valid UTF-8");
  std::ofstream(vocab, std::ios::binary) << lines(kToolPieces);
  v1test::StderrCapture quiet;
  auto ok = V1Engine::load(weights, vocab);
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->vocab().size(), 12u);
  auto short_buf = V1Engine::from_bytes({1, 2, 3}, "a\n");
  ASSERT_FALSE(short_buf.has_value());
  EXPECT_EQ(vorpel::message(short_buf.error()), "buffer too short");
  auto no_heads = V1Engine::from_bytes(v1test::safetensors({embedding(12)}, {{"num_heads", "0"}}), "a\n");
  ASSERT_FALSE(no_heads.has_value());
  EXPECT_EQ(vorpel::message(no_heads.error()), "num_heads must be > 0");
}

}  // namespace

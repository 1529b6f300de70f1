// Chat prompt layout, tools compaction, the prompt cut and special-id lookup.
#include "vorpel/chat/prompt.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "vorpel/sp_tokenizer/sp_tokenizer.hpp"

namespace {

using namespace vorpel::chat;

TEST(Prompt, LayoutWithoutSystem) {
  EXPECT_EQ(build_prompt("weather in Paris?", "[{\"name\":\"w\"}]", std::nullopt),
            "<|im_start|>user\n<tools>[{\"name\":\"w\"}]</tools>\nweather in Paris?<|im_end|>\n"
            "<|im_start|>assistant\n");
}

TEST(Prompt, LayoutWithSystemAndEmptySystem) {
  EXPECT_EQ(build_prompt("q", "[]", std::string_view("be brief")),
            "<|im_start|>system\nbe brief<|im_end|>\n"
            "<|im_start|>user\n<tools>[]</tools>\nq<|im_end|>\n<|im_start|>assistant\n");
  // An empty system text is still a system turn.
  EXPECT_EQ(build_prompt("q", "[]", std::string_view("")),
            "<|im_start|>system\n<|im_end|>\n"
            "<|im_start|>user\n<tools>[]</tools>\nq<|im_end|>\n<|im_start|>assistant\n");
}

TEST(Prompt, EmptyQueryAndQueryKeptVerbatim) {
  EXPECT_EQ(build_prompt("", "", std::nullopt),
            "<|im_start|>user\n<tools></tools>\n<|im_end|>\n<|im_start|>assistant\n");
  EXPECT_EQ(build_prompt("  a \"b\"\n ", "", std::nullopt),
            "<|im_start|>user\n<tools></tools>\n  a \"b\"\n <|im_end|>\n<|im_start|>assistant\n");
}

TEST(Prompt, Compaction) {
  EXPECT_EQ(compact_tools(""), "");
  EXPECT_EQ(compact_tools("[ {\n\t\"name\" :  \"get weather\" ,\r\n \"x\": [1, 2] } ]"),
            "[{\"name\":\"get weather\",\"x\":[1,2]}]");
  // An escaped quote does not end the string, so the spaces after it stay.
  EXPECT_EQ(compact_tools("{ \"d\": \"say \\\"  hi\\\"  now\" , \"e\" : 1 }"),
            "{\"d\":\"say \\\"  hi\\\"  now\",\"e\":1}");
  // An escaped backslash does end the escape: the quote after it closes.
  EXPECT_EQ(compact_tools("[\"a\\\\\" , \" b\"]"), "[\"a\\\\\",\" b\"]");
  // Only the four ASCII whitespace bytes are dropped; form feed and non-ASCII stay.
  EXPECT_EQ(compact_tools("[\f1,\xC2\xA0" "2]"), "[\f1,\xC2\xA0" "2]");
  // An unterminated string keeps everything to the end.
  EXPECT_EQ(compact_tools(" [\"a b  "), "[\"a b  ");
}

TEST(Prompt, CutSaturates) {
  const std::vector<uint32_t> ids{7, 1, 2, 3, 4, 5};
  auto cut = [&](uint64_t reserve, uint64_t max_seq_len) {
    auto v = ids;
    cut_prompt(v, reserve, max_seq_len);
    return v;
  };
  EXPECT_EQ(cut(128, 100), (std::vector<uint32_t>{7}));
  EXPECT_EQ(cut(128, 128), (std::vector<uint32_t>{7}));
  EXPECT_EQ(cut(128, 131), (std::vector<uint32_t>{7, 1, 2}));
  EXPECT_EQ(cut(0, 6), ids);
  EXPECT_EQ(cut(1, 1000), ids);
  EXPECT_EQ(cut(UINT64_MAX, 0), (std::vector<uint32_t>{7}));
  std::vector<uint32_t> empty;
  cut_prompt(empty, 128, 100);
  EXPECT_TRUE(empty.empty());
}

// A tiny tokenizer: control pieces, the three special texts as user-defined
// pieces (minus "</tool_call>", which is split in two), and single letters.
struct P {
  std::string text;
  uint8_t kind;
};

std::vector<uint8_t> blob(const std::vector<P>& pieces, uint32_t bos, uint32_t eos, uint32_t unk) {
  std::vector<uint8_t> b;
  auto u32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  u32(static_cast<uint32_t>(pieces.size()));
  u32(0);
  u32(eos);
  u32(bos);
  u32(unk);
  b.insert(b.end(), {0, 0, 0, 0});
  for (const auto& p : pieces) {
    u32(0);  // score 0.0f
    b.push_back(p.kind);
    b.push_back(static_cast<uint8_t>(p.text.size()));
    b.push_back(static_cast<uint8_t>(p.text.size() >> 8));
    b.insert(b.end(), p.text.begin(), p.text.end());
  }
  return b;
}

vorpel::sp::Tokenizer tiny() {
  std::vector<P> pieces{{"<pad>", 1}, {"</s>", 1}, {"<s>", 1}, {"<unk>", 2},
                        {"<|im_end|>", 3}, {"<tool_call>", 3}, {"</tool", 3}, {"_call>", 3}};
  for (char c = 'a'; c <= 'z'; ++c) pieces.push_back({std::string(1, c), 0});
  auto t = vorpel::sp::Tokenizer::parse(blob(pieces, 2, 1, 3));
  if (!t) throw std::runtime_error(vorpel::sp::message(t.error()));
  return std::move(*t);
}

TEST(Prompt, EncodePutsBosFirstAndCuts) {
  const auto tok = tiny();
  // "ab<|im_end|>c": letters 8 + (c - 'a'), the marker is piece 4.
  const std::vector<uint32_t> full{2, 8, 9, 4, 10};
  EXPECT_EQ(encode_prompt(tok, "ab<|im_end|>c", 0, 1000), full);
  EXPECT_EQ(encode_prompt(tok, "ab<|im_end|>c", 128, 131), (std::vector<uint32_t>{2, 8, 9}));
  EXPECT_EQ(encode_prompt(tok, "ab<|im_end|>c", 128, 100), (std::vector<uint32_t>{2}));
  EXPECT_EQ(encode_prompt(tok, "", 128, 1000), (std::vector<uint32_t>{2}));
  // A real prompt with max_seq_len 100 and the usual reserve keeps only bos.
  const std::string p = build_prompt("hello", "[]", std::nullopt);
  EXPECT_EQ(encode_prompt(tok, p, 128, 100), (std::vector<uint32_t>{2}));
  EXPECT_GT(encode_prompt(tok, p, 128, 100000).size(), 20u);
  EXPECT_EQ(encode_prompt_with_bos(tok, "ab", 9, 0, 1000), (std::vector<uint32_t>{9, 8, 9}));
  EXPECT_EQ(encode_prompt_with_bos(tok, "ab", 9, 0, 2), (std::vector<uint32_t>{9, 8}));
}

TEST(Prompt, SpecialIdsAreWholePiecesOnly) {
  const auto tok = tiny();
  const SpecialIds s = lookup_special_ids(tok);
  EXPECT_EQ(s.im_end, std::optional<uint32_t>(4));
  EXPECT_EQ(s.tool_call_open, std::optional<uint32_t>(5));
  EXPECT_EQ(s.tool_call_close, std::nullopt);  // two pieces, so no id
}

}  // namespace

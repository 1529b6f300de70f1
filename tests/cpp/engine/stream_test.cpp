// Stop-reason texts and streaming deltas, the latter over a real piece
// tokenizer whose byte pieces complete a multi-byte character after a
// replacement character was already shown.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "vorpel/engine/load_error.hpp"
#include "vorpel/sp_tokenizer/sp_tokenizer.hpp"
#include "vorpel/engine/stop.hpp"
#include "vorpel/engine/stream.hpp"
#include "vorpel/v2_engine/v2_engine.hpp"


namespace vorpel::engine {
// Text of any error value of the libraries.
[[maybe_unused]] static std::string msg(const auto& e) {
  using vorpel::message;
  return message(e);
}

namespace {

TEST(StopReason, TextFormsPerGeneration) {
  const auto& v2 = kSecondGenerationStops;
  const auto& v3 = kThirdGenerationStops;
  const std::pair<StopKind, const char*> both[] = {
      {StopKind::Eos, "Eos"}, {StopKind::ImEnd, "ImEnd"}, {StopKind::MaxTokens, "MaxTokens"}};
  for (auto [kind, name] : both) {
    EXPECT_EQ((StopReason{kind, {}}).text(v2), name);
    EXPECT_EQ((StopReason{kind, {}}).text(v3), name);
  }
  EXPECT_EQ((StopReason{StopKind::ContextLimit, {}}).text(v2), "ContextFull");
  EXPECT_EQ((StopReason{StopKind::ContextLimit, {}}).text(v3), "MaxSeqLen");
  const std::pair<std::string, const char*> errors[] = {
      {"sequence exceeds max_seq_len", "Error(\"sequence exceeds max_seq_len\")"},
      {"a \"b\" \\ c", "Error(\"a \\\"b\\\" \\\\ c\")"},
      {"x\ny\tz\r", "Error(\"x\\ny\\tz\\r\")"},
      {std::string("\x01\x1f\x7f", 3), "Error(\"\\u{1}\\u{1f}\\u{7f}\")"},
      {std::string("\0", 1), "Error(\"\\0\")"},
      {"caf\xc3\xa9", "Error(\"caf\xc3\xa9\")"},
      {"", "Error(\"\")"},
  };
  for (const auto& [msg, text] : errors) EXPECT_EQ((StopReason{StopKind::Error, msg}).text(v2), text);

  EXPECT_TRUE((StopReason{StopKind::Eos, {}}).natural());
  EXPECT_TRUE((StopReason{StopKind::ImEnd, {}}).natural());
  EXPECT_FALSE((StopReason{StopKind::MaxTokens, {}}).natural());
  EXPECT_FALSE((StopReason{StopKind::ContextLimit, {}}).natural());
  EXPECT_FALSE((StopReason{StopKind::Error, "x"}).natural());
}

TEST(StreamDelta, PrefixRule) {
  EXPECT_EQ(stream_delta("", "abc"), "abc");
  EXPECT_EQ(stream_delta("ab", "abc"), "c");
  EXPECT_EQ(stream_delta("abc", "abc"), "");
  EXPECT_EQ(stream_delta("abd", "abc"), "abc");  // rewritten: all of the new text
  EXPECT_EQ(stream_delta("abc", "ab"), "ab");     // shrunk: all of the new text
  EXPECT_EQ(stream_delta("x", ""), "");
}

// Blob in the container's tokenizer layout: 24-byte header, then records of
// f32 score, u8 kind, u16 length, text.
struct Piece {
  std::string text;
  uint8_t kind;
};
std::vector<uint8_t> make_blob(const std::vector<Piece>& pieces, bool dummy_prefix) {
  std::vector<uint8_t> b;
  auto u32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  u32(static_cast<uint32_t>(pieces.size()));
  u32(0);  // pad
  u32(1);  // eos
  u32(2);  // bos
  u32(3);  // unk
  b.push_back(dummy_prefix ? 1 : 0);
  b.push_back(1);  // byte fallback
  b.push_back(0);
  b.push_back(0);
  for (const auto& p : pieces) {
    const float score = 0.0f;
    uint32_t bits;
    std::memcpy(&bits, &score, 4);
    u32(bits);
    b.push_back(p.kind);
    b.push_back(static_cast<uint8_t>(p.text.size()));
    b.push_back(static_cast<uint8_t>(p.text.size() >> 8));
    b.insert(b.end(), p.text.begin(), p.text.end());
  }
  return b;
}

sp::Tokenizer demo_tokenizer(bool dummy_prefix) {
  const std::vector<Piece> pieces = {
      {"<pad>", 1}, {"</s>", 1},   {"<s>", 1},    {"<unk>", 2},          {"<0xC3>", 4}, {"<0xA9>", 4},
      {"<0xE2>", 4}, {"<0x96>", 4}, {"<0x81>", 4}, {"a", 0},              {"\xe2\x96\x81" "b", 0},
  };
  auto t = sp::Tokenizer::parse(make_blob(pieces, dummy_prefix));
  EXPECT_TRUE(t.has_value()) << (t ? "" : msg(t.error()));
  return std::move(*t);
}

// Deltas as the driver computes them: one full decode per kept token.
std::vector<std::string> deltas_for(const sp::Tokenizer& tok, const std::vector<uint32_t>& ids, std::string* text) {
  StreamDelta s;
  std::vector<std::string> out;
  std::vector<uint32_t> prefix;
  for (uint32_t id : ids) {
    prefix.push_back(id);
    out.emplace_back(s.next(tok.decode(prefix)));
  }
  *text = s.text();
  return out;
}

TEST(StreamDelta, ByteFallbackRewritesEarlierOutput) {
  const std::string fffd = "\xef\xbf\xbd";
  {
    const sp::Tokenizer tok = demo_tokenizer(false);
    std::string text;
    // a, C3 (incomplete: shown as U+FFFD), A9 (completes "é": the earlier
    // replacement is rewritten, so the whole text is sent again), then " b".
    const auto d = deltas_for(tok, {9, 4, 5, 10}, &text);
    ASSERT_EQ(d.size(), 4u);
    EXPECT_EQ(d[0], "a");
    EXPECT_EQ(d[1], fffd);
    EXPECT_EQ(d[2], "a\xc3\xa9");
    EXPECT_EQ(d[3], " b");
    EXPECT_EQ(text, "a\xc3\xa9 b");
    EXPECT_EQ(text, tok.decode(std::vector<uint32_t>{9, 4, 5, 10}));
  }
  {
    // With the dummy prefix the bytes E2 96 81 assemble into the word marker,
    // which becomes a leading space and is removed: the text shrinks to "".
    const sp::Tokenizer tok = demo_tokenizer(true);
    std::string text;
    const auto d = deltas_for(tok, {6, 7, 8, 9, 1}, &text);
    ASSERT_EQ(d.size(), 5u);
    EXPECT_EQ(d[0], fffd);
    EXPECT_EQ(d[1], "");  // still one replacement character
    EXPECT_EQ(d[2], "");  // rewritten to the empty text
    EXPECT_EQ(d[3], "a");
    EXPECT_EQ(d[4], "");  // a control piece adds nothing
    EXPECT_EQ(text, "a");
  }
}

}  // namespace
}  // namespace vorpel::engine

namespace vorpel::engine {
namespace {

// The incremental decoder against the definition (full decodes of every
// prefix) on random id sequences over a vocabulary rich in byte pieces.
TEST(StreamDecoder, MatchesFullDecodesOnRandomSequences) {
  std::vector<Piece> pieces = {{"<pad>", 1}, {"</s>", 1}, {"<s>", 1}, {"<unk>", 2}};
  const int bytes[] = {0x41, 0x20, 0xC3, 0xA9, 0xE2, 0x96, 0x81, 0xF0, 0x9F, 0x98, 0x80,
                       0xBF, 0xFF, 0xC0, 0xED, 0xA0, 0xE0, 0xF4, 0x90, 0x8F};
  for (int b : bytes) {
    char text[8];
    std::snprintf(text, sizeof text, "<0x%02X>", b);
    pieces.push_back({text, 4});
  }
  for (const char* t : {"a", "\xe2\x96\x81", "\xe2\x96\x81the", " x", "\xc3\xa9t\xc3\xa9", "\xef\xbf\xbd", "z\xe2\x96\x81"})
    pieces.push_back({t, 0});
  pieces.push_back({"<tool_call>", 3});
  for (bool dummy : {false, true}) {
    const auto tok = sp::Tokenizer::parse(make_blob(pieces, dummy));
    ASSERT_TRUE(tok.has_value()) << (tok ? "" : msg(tok.error()));
    for (uint32_t seed = 1; seed <= 300; ++seed) {
      std::mt19937 rng(seed);
      const size_t n = 1 + rng() % 24;
      StreamDecoder dec(*tok);
      std::vector<uint32_t> ids;
      std::string prev;
      for (size_t k = 0; k < n; ++k) {
        // Mostly real pieces, sometimes an id past the table (skipped).
        const uint32_t id = rng() % 16 == 0 ? tok->piece_count() + rng() % 3 : rng() % tok->piece_count();
        ids.push_back(id);
        const std::string full = tok->decode(ids);
        const std::string want(stream_delta(prev, full));
        ASSERT_EQ(std::string(dec.push(id)), want) << "seed " << seed << " dummy " << dummy << " token " << k;
        ASSERT_EQ(dec.text(), full) << "seed " << seed << " dummy " << dummy << " token " << k;
        prev = full;
      }
    }
  }
}

}  // namespace
}  // namespace vorpel::engine

// Piece tokenizer: blob validation, encode/decode behaviour on hand-made
// vocabularies, and the heap merge against the rescanning definition.
#include "vorpel/engine/load_error.hpp"
#include "vorpel/sp_tokenizer/sp_tokenizer.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>
#include "vorpel/core/panic.hpp"


namespace {
// Text of any error value of the libraries.
[[maybe_unused]] static std::string msg(const auto& e) {
  using vorpel::message;
  return message(e);
}


using vorpel::sp::Tokenizer;
using Ids = std::vector<uint32_t>;

struct P {
  std::string text;
  float score = 0;
  uint8_t kind = 0;
};

struct Header {
  uint32_t pad = 0, eos = 0, bos = 0, unk = 0;
  bool dummy = false, fallback = false;
};

void put_u32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::vector<uint8_t> blob(const std::vector<P>& pieces, Header h = {}, int64_t count = -1) {
  std::vector<uint8_t> b;
  put_u32(b, count < 0 ? static_cast<uint32_t>(pieces.size()) : static_cast<uint32_t>(count));
  put_u32(b, h.pad);
  put_u32(b, h.eos);
  put_u32(b, h.bos);
  put_u32(b, h.unk);
  b.push_back(h.dummy);
  b.push_back(h.fallback);
  b.push_back(0);
  b.push_back(0);
  for (const auto& p : pieces) {
    uint32_t bits;
    std::memcpy(&bits, &p.score, 4);
    put_u32(b, bits);
    b.push_back(p.kind);
    b.push_back(static_cast<uint8_t>(p.text.size()));
    b.push_back(static_cast<uint8_t>(p.text.size() >> 8));
    b.insert(b.end(), p.text.begin(), p.text.end());
  }
  return b;
}

Tokenizer make(const std::vector<P>& pieces, Header h = {}) {
  auto t = Tokenizer::parse(blob(pieces, h));
  if (!t) throw std::runtime_error(msg(t.error()));
  return std::move(*t);
}

std::string parse_error(const std::vector<uint8_t>& b) {
  auto t = Tokenizer::parse(b);
  return t ? std::string("<parsed>") : msg(t.error());
}

const std::string M = "\xE2\x96\x81";  // word-boundary marker

TEST(SpTokenizerParse, TruncationAndCounts) {
  EXPECT_EQ(parse_error(std::vector<uint8_t>(23, 0)), "tokenizer blob truncated: need 24 bytes, got 23");
  EXPECT_EQ(parse_error(std::vector<uint8_t>(24, 0)), "tokenizer blob declares zero pieces");

  // Last record announces 10 text bytes, only 4 present: need = cursor + 7 + 10.
  auto b = blob({{"a"}, {"abcdefghij"}});
  b.resize(b.size() - 6);
  const size_t cursor = 24 + 7 + 1;
  EXPECT_EQ(parse_error(b), "tokenizer blob truncated: need " + std::to_string(cursor + 17) + " bytes, got " +
                                std::to_string(b.size()));
  // A record header cut short: need = cursor + 7.
  b = blob({{"a"}});
  b.push_back(0);
  b[0] = 2;
  EXPECT_EQ(parse_error(b), "tokenizer blob truncated: need " + std::to_string(cursor + 7) + " bytes, got " +
                                std::to_string(cursor + 1));
  // A huge count in a short blob fails on the first missing record, not on allocation.
  EXPECT_EQ(parse_error(blob({{"a"}}, {}, 0xFFFFFFFF)),
            "tokenizer blob truncated: need " + std::to_string(cursor + 7) + " bytes, got " + std::to_string(cursor));
}

TEST(SpTokenizerParse, TextAndSpecialIds) {
  EXPECT_EQ(parse_error(blob({{"a"}, {"\xC3"}})), "piece 1 is not valid UTF-8");
  EXPECT_EQ(parse_error(blob({{"\xED\xA0\x80"}})), "piece 0 is not valid UTF-8");  // surrogate
  EXPECT_EQ(parse_error(blob({{"\xC0\xAF"}})), "piece 0 is not valid UTF-8");      // overlong
  // Records are checked in order: an earlier bad text wins over a later truncation.
  auto b = blob({{"\xFF"}, {"abc"}});
  b.resize(b.size() - 1);
  EXPECT_EQ(parse_error(b), "piece 0 is not valid UTF-8");

  const std::vector<P> two = {{"a"}, {"b"}};
  EXPECT_EQ(parse_error(blob(two, {.pad = 0, .eos = 2})), "header eos=2 is outside the 2-piece table");
  EXPECT_EQ(parse_error(blob(two, {.pad = 5, .eos = 2})), "header pad=5 is outside the 2-piece table");
  EXPECT_EQ(parse_error(blob(two, {.bos = 7, .unk = 9})), "header bos=7 is outside the 2-piece table");
  EXPECT_EQ(parse_error(blob(two, {.unk = 2})), "header unk=2 is outside the 2-piece table");
  // Special ids are checked after all records are read.
  EXPECT_EQ(parse_error(blob({{"\xFF"}}, {.pad = 3})), "piece 0 is not valid UTF-8");
}

TEST(SpTokenizerParse, BytePieces) {
  const auto bad = [](const std::string& text) {
    return parse_error(blob({{"a"}, {text, 0, 4}})) == "byte piece 1 is not of the form <0xNN>";
  };
  EXPECT_TRUE(bad("<0x4>"));     // the fifth byte is '>'
  EXPECT_TRUE(bad("<0xG1>"));
  EXPECT_TRUE(bad("<0x"));
  EXPECT_TRUE(bad("<0x-1>"));
  EXPECT_TRUE(bad("<0x+>"));
  EXPECT_TRUE(bad("<0x\xC3\xA9>"));      // one two-byte character at 3..4
  EXPECT_TRUE(bad("<0xA\xC3\xA9"));      // offset 5 inside a character
  EXPECT_TRUE(bad(""));
  // Unchecked prefix and suffix; "+A" reads as 0x0A; lower and upper case.
  auto t = make({{"a"}, {"XYZ41"}, {"<0x+A>", 0, 4}, {"<0xff>trailing", 0, 4}, {"<0xFF>", 0, 4}});
  EXPECT_EQ(t.piece_bytes()[1], "XYZ41");  // kind 0: its text, not a byte
  EXPECT_EQ(t.piece_bytes()[2], "\n");
  EXPECT_EQ(t.piece_bytes()[3], "\xFF");
  EXPECT_EQ(t.piece_bytes()[4], "\xFF");
  // Later byte piece for the same value wins in fallback.
  Tokenizer f = make({{"u", 0, 2}, {"<0xE2>", 0, 4}, {"<0xE2>", 0, 4}}, {.fallback = true});
  EXPECT_EQ(f.encode("\xE2\x82\xAC"), (Ids{2, 0, 0}));
}

TEST(SpTokenizerParse, EmptyUserPieceAndAccessors) {
  EXPECT_EQ(parse_error(blob({{"a"}, {"", 0, 3}})), "user-defined piece 1 has empty text");
  // An empty piece of another kind is harmless.
  auto t = make({{"", 1.5f, 1}, {"a", -2.f, 0}, {"a", 3.f, 7}},
                {.pad = 0, .eos = 1, .bos = 2, .unk = 0, .dummy = true, .fallback = false});
  EXPECT_EQ(t.piece_count(), 3u);
  EXPECT_EQ(t.eos_id(), 1u);
  EXPECT_EQ(t.bos_id(), 2u);
  EXPECT_TRUE(t.add_dummy_prefix());
  EXPECT_FALSE(t.byte_fallback());
  EXPECT_EQ(t.piece_text(1), "a");
  EXPECT_EQ(t.piece_score(2), 3.f);
  EXPECT_EQ(t.piece_kind(2), 7);
  EXPECT_EQ(t.piece_id("a"), 2u);  // later id wins
  EXPECT_EQ(t.piece_id("b"), std::nullopt);
  EXPECT_THROW((void)t.piece_text(3), vorpel::Panic);
}

TEST(SpTokenizerEncode, DummyPrefixAndRoundTrip) {
  auto t = make({{"<unk>", 0, 2}, {M}, {"h"}, {"i"}, {"t"}, {"e"}, {"r"}, {M + "h", 1}, {M + "hi", 2},
                 {M + "t", 1}, {"he", 0.5f}, {"er", 0.4f}, {"ere", 0.3f}, {"th", 0.2f}},
                {.dummy = true});
  // "hi there" is encoded from "_hi_there".
  EXPECT_EQ(t.encode("hi there"), t.encode_reference("hi there"));
  const Ids ids = t.encode("hi there");
  EXPECT_EQ(ids.front(), 8u);  // "_hi"
  EXPECT_EQ(t.decode(ids), "hi there");
  EXPECT_TRUE(t.encode("").empty());
  // Without the prefix "hi" has no "_" piece to join.
  auto n = make({{"<unk>", 0, 2}, {"h"}, {"i"}, {"hi", 1}});
  EXPECT_EQ(n.encode("hi"), (Ids{3}));
  EXPECT_EQ(n.encode(" hi"), (Ids{0, 3}));  // "_" has no piece, no fallback: unk
}

TEST(SpTokenizerEncode, EqualScoresMergeLeftFirst) {
  // "abc": "ab" and "bc" score equally; the left pair merges first.
  auto t = make({{"a"}, {"b"}, {"c"}, {"ab", 1}, {"bc", 1}});
  EXPECT_EQ(t.encode("abc"), (Ids{3, 2}));
  // A strictly higher score to the right wins.
  auto u = make({{"a"}, {"b"}, {"c"}, {"ab", 1}, {"bc", 1.5f}});
  EXPECT_EQ(u.encode("abc"), (Ids{0, 4}));
  // A merge creates a new pair scoring the same as an older pair further right:
  // "aab": "aa" (2) first, then "aab" (1) vs ... with equal scores the leftmost wins.
  auto v = make({{"a"}, {"b"}, {"c"}, {"aa", 2}, {"aab", 1}, {"bc", 1}, {"aabc", 0}});
  EXPECT_EQ(v.encode("aabc"), (Ids{6}));
  EXPECT_EQ(v.encode_reference("aabc"), (Ids{6}));
  auto w = make({{"a"}, {"b"}, {"c"}, {"d"}, {"cd", 2}, {"bcd", 1}, {"ab", 1}});
  EXPECT_EQ(w.encode("abcd"), (Ids{6, 4}));  // "ab" (left) beats "bcd" created later
}

TEST(SpTokenizerEncode, FallbackAndUnknown) {
  const std::vector<P> v = {{"<unk>", 0, 2}, {"a"}, {"<0xE2>", 0, 4}, {"<0x82>", 0, 4}};
  auto on = make(v, {.unk = 0, .fallback = true});
  auto off = make(v, {.unk = 0, .fallback = false});
  // U+20AC is E2 82 AC; AC has no byte piece, so it becomes unk.
  EXPECT_EQ(on.encode("a\xE2\x82\xAC" "a"), (Ids{1, 2, 3, 0, 1}));
  EXPECT_EQ(off.encode("a\xE2\x82\xAC" "a"), (Ids{1, 0, 1}));
  // Invalid UTF-8 and NUL bytes never fail; a bad byte is a one-byte scalar.
  EXPECT_EQ(on.encode(std::string("a\0a", 3)), (Ids{1, 0, 1}));
  EXPECT_EQ(on.encode("\xE2\x82"), (Ids{2, 3}));
  EXPECT_EQ(off.encode("\xE2\x82"), (Ids{0, 0}));
  EXPECT_EQ(off.encode("\xF4"), (Ids{0}));
}

TEST(SpTokenizerEncode, UserDefinedPieces) {
  auto t = make({{"<unk>", 0, 2}, {"<tool", 0, 3}, {"<tool_call>", 0, 3}, {"x"}, {M + "x", 5},
                 {"<tool_call", 0, 3}},
                {.dummy = true, .fallback = false});
  EXPECT_EQ(t.encode("<tool_call>"), (Ids{0, 2}));  // leading "_" is unk, then the longest match
  EXPECT_EQ(t.encode("x<toolx"), (Ids{4, 1, 3}));
  EXPECT_EQ(t.encode("x<tool_callx"), (Ids{4, 5, 3}));
  // Matching happens on the marked text: a user piece may contain the marker.
  auto u = make({{"<unk>", 0, 2}, {M + "a", 0, 3}, {"a"}});
  EXPECT_EQ(u.encode(" a a"), (Ids{1, 1}));
}

TEST(SpTokenizerDecode, KindsBytesAndPrefix) {
  const std::vector<P> v = {{"<s>", 0, 1},     {"<unk>", 0, 2},  {"<0xE2>", 0, 4}, {"<0x96>", 0, 4},
                            {"<0x81>", 0, 4},  {"<0xFF>", 0, 4}, {M + "hi"},       {"x"}};
  auto off = make(v, {.dummy = false});
  auto on = make(v, {.dummy = true});
  EXPECT_EQ(off.decode(Ids{0, 1}), "");
  EXPECT_EQ(off.decode(Ids{2, 3, 4}), " ");
  EXPECT_EQ(on.decode(Ids{2, 3, 4}), "");
  EXPECT_EQ(off.decode(Ids{5}), "\xEF\xBF\xBD");
  EXPECT_EQ(off.decode(Ids{2, 3, 7}), "\xEF\xBF\xBDx");  // a cut sequence is one replacement
  EXPECT_EQ(off.decode(Ids{7, 99, 6}), "x hi");            // ids out of range skipped
  EXPECT_EQ(on.decode(Ids{6, 6}), "hi hi");
  // The byte table never strips the leading space and holds raw bytes.
  EXPECT_EQ(on.piece_bytes()[6], " hi");
  EXPECT_EQ(on.piece_bytes()[0], "");
  EXPECT_EQ(on.piece_bytes()[1], "");
  EXPECT_EQ(on.piece_bytes()[2], "\xE2");
  EXPECT_EQ(on.piece_bytes().size(), v.size());
}

// Random vocabularies over a small alphabet with few distinct scores, so that
// ties and merges creating equal-score pairs are frequent.
TEST(SpTokenizerEncode, HeapMatchesRescanning) {
  const std::vector<std::string> alphabet = {"a", "b", "c", " ", "\xC3\xA9", "\xE4\xB8\xAD", "<"};
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    std::mt19937 rng(seed);
    const auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    std::vector<P> v = {{"<unk>", 0, 2}};
    const size_t nsym = 1 + pick(alphabet.size());
    for (size_t i = 0; i < nsym; ++i) v.push_back({alphabet[i] == " " ? M : alphabet[i], 0, 0});
    // Half the vocabularies hold markers only as a piece's leading run, as
    // trained vocabularies do, which lets words merge independently.
    const bool leading_markers_only = seed % 2 == 0;
    const size_t npieces = 3 + pick(40);
    for (size_t i = 0; i < npieces; ++i) {
      std::string s;
      const size_t len = 2 + pick(4);
      for (size_t k = 0; k < len; ++k) {
        const auto& a = alphabet[pick(alphabet.size())];
        if (a != " ") {
          s += a;
        } else if (!leading_markers_only || s.empty() || s.ends_with(M)) {
          s += M;
        }
      }
      if (s.empty()) continue;
      const uint8_t kind = pick(12) == 0 ? 3 : (pick(8) == 0 ? 1 : 0);
      float score = static_cast<float>(pick(3));
      if (score == 0 && pick(2)) score = -0.f;
      v.push_back({s, score, kind});
    }
    v.push_back({"<0x61>", 0, 4});
    const Header h{.dummy = pick(2) == 1, .fallback = pick(2) == 1};
    const auto t = make(v, h);
    for (int trial = 0; trial < 20; ++trial) {
      std::string text;
      const size_t len = pick(40);
      for (size_t k = 0; k < len; ++k) text += alphabet[pick(alphabet.size())];
      if (pick(10) == 0) text += "\xE4\xB8";  // truncated scalar
      ASSERT_EQ(t.encode(text), t.encode_reference(text)) << "seed " << seed << " trial " << trial;
    }
  }
}

TEST(SpTokenizerEncode, NanScoresFollowRescanning) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  auto t = make({{"a"}, {"b"}, {"c"}, {"ab", nan}, {"bc", 1}, {"abc", 2}});
  EXPECT_EQ(t.encode("abc"), t.encode_reference("abc"));
  EXPECT_EQ(t.encode("abc"), (Ids{5}));  // the NaN pair is first found, nothing beats it
  EXPECT_EQ(t.encode("cabc"), t.encode_reference("cabc"));
}

TEST(SpTokenizerEncode, LongInput) {
  auto t = make({{"<unk>", 0, 2}, {"a"}, {"aa", 1}, {"aaaa", 2}, {"<x>", 0, 3}});
  std::string text(200000, 'a');
  text[1000] = '\0';
  text += "<x>";
  const Ids ids = t.encode(text);
  // Runs of "a" become "aaaa" pieces left to right; 198999 leaves "aa" + "a".
  ASSERT_EQ(ids.size(), 250u + 1 + 49749 + 2 + 1);
  EXPECT_EQ(ids.back(), 4u);
  EXPECT_EQ(t.decode(ids), text.substr(0, 1000) + text.substr(1001));  // the NUL became unk
}

}  // namespace

namespace {

// Corrupted blobs either parse or fail with a message; whatever parses
// encodes arbitrary bytes and decodes arbitrary ids without fault.
TEST(SpTokenizerParse, CorruptBlobsAndArbitraryInput) {
  const auto base = blob({{"<unk>", 0, 2}, {"<s>", 0, 1}, {M}, {"a"}, {"b"}, {M + "a", 1}, {"ab", 2},
                          {"<0x61>", 0, 4}, {"<0xE2>", 0, 4}, {"<x>", 0, 3}, {"\xC3\xA9", 0}},
                         {.unk = 0, .dummy = true, .fallback = true});
  for (uint32_t seed = 1; seed <= 400; ++seed) {
    std::mt19937 rng(seed);
    auto b = base;
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) b[rng() % b.size()] = static_cast<uint8_t>(rng());
    if (rng() % 3 == 0) b.resize(rng() % (b.size() + 1));
    const auto t = Tokenizer::parse(b);
    if (!t) {
      EXPECT_FALSE(msg(t.error()).empty()) << "seed " << seed;
      continue;
    }
    std::string text;
    for (size_t k = rng() % 30; k > 0; --k) text += static_cast<char>(rng() % 4 == 0 ? rng() : "ab <"[rng() % 4]);
    const Ids ids = t->encode(text);
    EXPECT_EQ(ids, t->encode_reference(text)) << "seed " << seed;
    for (const uint32_t id : ids) ASSERT_LT(id, t->piece_count()) << "seed " << seed;
    Ids random_ids;
    for (int k = 0; k < 10; ++k) random_ids.push_back(rng() % (t->piece_count() + 3));
    (void)t->decode(random_ids);
    (void)t->decode(ids);
  }
}

}  // namespace

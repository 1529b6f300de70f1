// Vocabulary tokenizer: line splitting and scores, normalisation, greedy
// longest match, score-ordered merging with its tie rule, byte fallback,
// decoding, file loading, and the heap merge against the literal rescan.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "vorpel/core/panic.hpp"
#include "vorpel/vocab_tokenizer/vocab.hpp"

namespace {

using vorpel::vocab::Vocab;
using Ids = std::vector<uint32_t>;

const std::string M = "\xE2\x96\x81";  // U+2581

std::vector<std::string> pieces_of(const Vocab& v) {
  std::vector<std::string> out;
  for (uint32_t i = 0; i < v.size(); ++i) out.emplace_back(v.piece(i));
  return out;
}

// One line per entry, joined with "\n".
Vocab vocab_of(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  return Vocab::load(text);
}

TEST(VocabLoad, Lines) {
  struct Case {
    const char* what;
    std::string text;
    std::vector<std::string> pieces;
  };
  const Case cases[] = {
      {"empty file", "", {}},
      {"final line without a line end", "a\nb", {"a", "b"}},
      {"nothing after the last line end", "a\nb\n", {"a", "b"}},
      {"empty lines in the middle are entries", "a\n\nb\n", {"a", "", "b"}},
      {"an empty last line", "a\n\n", {"a", ""}},
      {"a lone line end", "\n", {""}},
      {"CRLF", "a\r\nb\r\n\r\nc", {"a", "b", "", "c"}},
      {"CR not before LF stays in the piece", "a\rb\nc\r", {"a\rb", "c\r"}},
      {"only one CR belongs to the line end", "a\r\r\n", {"a\r"}},
      {"piece is what precedes the first tab", "a b\t1\n\tx\nc\td\te", {"a b", "", "c"}},
      {"spaces are part of a piece", " x \n", {" x "}},
  };
  for (const auto& c : cases) EXPECT_EQ(pieces_of(Vocab::load(c.text)), c.pieces) << c.what;

  // Duplicates keep their ids; lookup finds the later line.
  Vocab v = Vocab::load("x\ny\nx\n");
  EXPECT_EQ(v.size(), 3u);
  EXPECT_EQ(v.lookup("x"), 2u);
  EXPECT_EQ(v.lookup("y"), 1u);
  EXPECT_EQ(v.lookup("z"), std::nullopt);
  EXPECT_EQ(v.piece(0), "x");
  EXPECT_THROW((void)v.piece(3), vorpel::Panic);
}

TEST(VocabLoad, Scores) {
  EXPECT_FALSE(Vocab::load("a\nb\n").has_scores());
  EXPECT_FALSE(Vocab::load("").has_scores());
  // One tab anywhere gives every line a score, 0.0 where there is none.
  Vocab v = Vocab::load("a\nb\t-2.5\nc\n");
  EXPECT_TRUE(v.has_scores());
  EXPECT_EQ(v.score(0), 0.0f);
  EXPECT_EQ(v.score(1), -2.5f);
  EXPECT_EQ(v.score(2), 0.0f);

  constexpr float kInf = std::numeric_limits<float>::infinity();
  struct Case {
    std::string text;
    float score;
  };
  const Case cases[] = {
      {"1.5", 1.5f},          {" -2 ", -2.0f},        {"\xE3\x80\x80" "3\xC2\xA0", 3.0f},
      {"+4", 4.0f},           {"1e3", 1000.0f},       {"1E-2", 0.01f},
      {".5", 0.5f},           {"5.", 5.0f},           {"-0.1", -0.1f},
      {"0.1", 0.1f},          {"16777217", 16777216.0f}, {"inf", kInf},
      {"-Infinity", -kInf},   {"+INF", kInf},         {"1e50", kInf},
      {"-1e50", -kInf},       {"1e-50", 0.0f},        {"1e-40", 1e-40f},
      {"0e999999999999", 0.0f}, {"99999999999999999999999999999999999999999", kInf},
      {"word", 0.0f},         {"", 0.0f},             {"1.5x", 0.0f},
      {"0x10", 0.0f},         {"1e", 0.0f},           {".", 0.0f},
      {"--1", 0.0f},          {"1 2", 0.0f},          {"infin", 0.0f},
      {"1,5", 0.0f},          {"\xD9\xA1", 0.0f},     {"e5", 0.0f},
  };
  for (const auto& c : cases) {
    Vocab s = Vocab::load("p\t" + c.text + "\n");
    EXPECT_EQ(s.score(0), c.score) << '"' << c.text << '"';
  }
  EXPECT_TRUE(std::isnan(Vocab::load("p\tNaN").score(0)));
  EXPECT_TRUE(std::signbit(Vocab::load("p\t-0").score(0)));
}

// Greedy vocabulary (no tabs): ids 0..3 are the usual specials.
Vocab greedy_vocab() {
  return vocab_of({"<pad>", "<s>", "</s>", "<unk>", M + "hello", M + "world", M, "h", "e", "l", "o",
                   M + "he", "ll", "<0x21>", M + "w", "or", "ld", "\xC3\xA9", M + "\xC3\xA9t\xC3\xA9"});
}

TEST(VocabEncode, NormalisationCollapsesWhiteSpace) {
  const Vocab v = greedy_vocab();
  const Ids hello_world{4, 5};
  const std::string same[] = {
      "hello world", "  hello world", "hello world  ", "hello  world", "hello\t\n world",
      "\xE3\x80\x80hello\xC2\xA0\xE2\x80\x83world\xE2\x80\xA8",  // U+3000, U+00A0, U+2003, U+2028
      "\x0B\x0C\r\xC2\x85hello world",                         // VT, FF, CR, U+0085
  };
  for (const auto& t : same) EXPECT_EQ(v.encode(t), hello_world) << t;
  // U+001C is not white space: it falls back, and "world" loses its mark.
  EXPECT_EQ(v.encode("hello\x1Cworld"), (Ids{4, 3, 3, 15, 16}));
  for (const std::string t : {"", " ", "\t\r\n", "\xE3\x80\x80\xC2\xA0"}) EXPECT_EQ(v.encode(t), Ids{}) << t;
  // The mark itself is not white space: it is copied like any character.
  EXPECT_EQ(v.encode(M + "hello"), (Ids{6, 4}));
}

TEST(VocabEncode, GreedyLongestMatch) {
  const Vocab v = greedy_vocab();
  ASSERT_FALSE(v.has_scores());
  struct Case {
    std::string text;
    Ids ids;
  };
  const Case cases[] = {
      {"hello", {4}},
      {"hell", {11, 12}},                   // "▁hell" absent: "▁he", then "ll"
      {"help", {11, 9, 3}},                 // p: no piece and no <0x70>
      {"hello!", {4, 13}},                  // byte fallback piece <0x21>
      {"world word", {5, 14, 15, 3}},       // "▁wor" absent: "▁w", "or", d -> fallback 3
      {"\xC3\xA9t\xC3\xA9", {18}},          // multi-byte piece
      {"\xC3\xA9t", {6, 17, 3}},            // "▁ét" absent: back off a whole character
      {"\xE2\x82\xAC", {6, 3, 3, 3}},       // €: one fallback id per byte
  };
  for (const auto& c : cases) EXPECT_EQ(v.encode(c.text), c.ids) << c.text;
}

TEST(VocabEncode, GreedyNeverMatchesInvalidUtf8) {
  // Pieces that are not UTF-8 (possible when loading arbitrary text) never
  // match, and back-off never stops inside a character.
  const Vocab v = vocab_of({"<pad>", "<s>", "</s>", "<unk>", M, M + "\xC3", "<0xC3>", "<0xA9>", "\xA9"});
  EXPECT_EQ(v.encode("\xC3\xA9"), (Ids{4, 6, 7}));
  // Without the fallback pieces both bytes of é fall back to id 3.
  const Vocab bare = vocab_of({"a", "b", "c", "d", M});
  EXPECT_EQ(bare.encode("\xC3\xA9"), (Ids{4, 3, 3}));
  // A vocabulary of only empty pieces matches nothing.
  const Vocab empty = Vocab::load("\n\n\n\n\n");
  EXPECT_EQ(empty.encode("ab"), (Ids{3, 3, 3, 3, 3}));
}

TEST(VocabEncode, MergeByScore) {
  // Every line scored; ids 4.. are the symbols and merges.
  const Vocab v = vocab_of({"<pad>\t0", "<s>\t0", "</s>\t0", "<unk>\t0", M + "\t-1", "a\t-1", "b\t-1", "c\t-1",
                            M + "a\t-3", "ab\t-2", "bc\t-1.5", M + "ab\t-4", "aa\t1", "<0xC3>\t-1",
                            "<0xA9>\t-1", "<0xC3><0xA9>\t5", "ba\t-inf", "cb\tnan", "\xC3\xA9\t-9"});
  ASSERT_TRUE(v.has_scores());
  struct Case {
    const char* what;
    std::string text;
    Ids ids;
  };
  const Case cases[] = {
      {"highest pair first", "abc", {8, 10}},                // bc, then ▁a; "▁abc" absent
      {"then the next best", "ab", {11}},                    // ab (-2) beats ▁a (-3), then ▁ab
      {"ties: the leftmost pair merges", "aaa", {4, 12, 5}}, // not ▁ a aa
      {"ties over the whole row", "aaaa", {4, 12, 12}},
      {"-inf never merges", "ba", {4, 6, 5}},
      {"NaN never merges", "cb", {4, 7, 6}},
      {"a character that is a piece stays whole", "\xC3\xA9", {4, 18}},
      {"unknown byte without a fallback piece", "d", {4, 3}},
      {"fallback symbols merge by their text", "x\xE2\x82\xAC", {4, 3, 3, 3, 3}},
  };
  for (const auto& c : cases) EXPECT_EQ(v.encode(c.text), c.ids) << c.what;

  // A character absent as a piece splits into fallback symbols, which merge by name.
  const Vocab w = vocab_of({"<pad>\t0", "<s>\t0", "</s>\t0", "<unk>\t0", M + "\t0", "<0xC3>\t-1", "<0xA9>\t-1",
                            "<0xC3><0xA9>\t5"});
  EXPECT_EQ(w.encode("\xC3\xA9"), (Ids{4, 7}));
  EXPECT_EQ(w.encode("\xC3\xA9\xC3\xA9"), (Ids{4, 7, 7}));
}

TEST(VocabEncode, OneScoredLineSwitchesTheWholeFile) {
  const std::vector<std::string> base{"<pad>", "<s>", "</s>", "<unk>", M, "a", "b", "c", "abc"};
  auto with = [&](std::string extra) {
    auto lines = base;
    lines.push_back(std::move(extra));
    return vocab_of(lines);
  };
  EXPECT_EQ(with("zz").encode("abc"), (Ids{4, 8}));              // greedy takes "abc"
  EXPECT_EQ(with("zz\t1").encode("abc"), (Ids{4, 5, 6, 7}));     // no pair is a piece
  EXPECT_EQ(with("zz\tword").encode("abc"), (Ids{4, 5, 6, 7}));  // unparsable score still counts
  // With scores, lines without a tab score 0.0 and take part in merging: ab, then abc.
  EXPECT_EQ(with("ab\t-1").encode("abc"), (Ids{4, 8}));
}

TEST(VocabEncode, CrlfFileEncodesLikeLf) {
  const std::string lf = "<pad>\n<s>\n</s>\n<unk>\n" + M + "\t0\na\t-1\nb\t-1\nab\t2\n" + M + "ab\t1\n";
  std::string crlf;
  for (char ch : lf) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
  const Vocab a = Vocab::load(lf), b = Vocab::load(crlf);
  EXPECT_EQ(pieces_of(a), pieces_of(b));
  for (const std::string t : {"ab", "ab ba", "b a b"}) EXPECT_EQ(a.encode(t), b.encode(t)) << t;
  EXPECT_EQ(b.encode("ab"), (Ids{8}));
}

TEST(VocabDecode, PiecesAndSpaces) {
  const Vocab v = vocab_of({"<pad>", "<s>", "</s>", "<unk>", M + "hello", M + "world", "<0x0A>", "\xE3\x80\x80x",
                            M + M + "a" + M, "!"});
  struct Case {
    const char* what;
    Ids ids;
    std::string text;
  };
  const Case cases[] = {
      {"leading mark disappears", {4, 5}, "hello world"},
      {"out-of-range ids are skipped", {4, 10, 5, 4000000000u}, "hello world"},
      {"byte pieces stay literal", {4, 6}, "hello<0x0A>"},
      {"only leading white space is removed", {8, 9}, "a !"},
      {"Unicode white space counts", {7}, "x"},
      {"nothing", {}, ""},
      {"specials are ordinary pieces", {1, 4}, "<s> hello"},
  };
  for (const auto& c : cases) EXPECT_EQ(v.decode(c.ids), c.text) << c.what;
  EXPECT_EQ(v.piece_text(8), "  a ");
  EXPECT_EQ(v.piece_text(4), " hello");
  EXPECT_EQ(v.piece_text(10), "");
  EXPECT_EQ(v.decode(v.encode("hello   world")), "hello world");
}

TEST(VocabLoadFile, ErrorsAndContent) {
  auto missing = Vocab::load_file("/nonexistent/dir/vocab.txt");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), "No such file or directory (os error 2)");
  auto dir = Vocab::load_file("/");
  ASSERT_FALSE(dir);
  EXPECT_EQ(dir.error(), "Is a directory (os error 21)");

  const std::string path = ::testing::TempDir() + "vocab_test.txt";
  {
    std::ofstream(path, std::ios::binary) << "a\r\nb\t1\r\n\xC3\xA9";
    auto v = Vocab::load_file(path);
    ASSERT_TRUE(v) << v.error();
    EXPECT_EQ(pieces_of(*v), (std::vector<std::string>{"a", "b", "\xC3\xA9"}));
    EXPECT_TRUE(v->has_scores());
  }
  for (const std::string bad : {"a\n\xff\n", "\xC3", "\xED\xA0\x80"}) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bad;
    auto v = Vocab::load_file(path);
    ASSERT_FALSE(v);
    EXPECT_EQ(v.error(), "stream did not contain valid UTF-8");
  }
  std::remove(path.c_str());
}

// Random small vocabularies over a few letters, with tied, negative-infinite
// and NaN scores (or none), pieces cut inside a character, and random texts:
// the heap merge and the length-filtered greedy match must give exactly the
// ids of the literal algorithms.
TEST(VocabEncode, FastPathsMatchLiteralAlgorithms) {
  const std::string alphabet[] = {"a", "b", "c", "\xC3\xA9", M, "\xC3", " "};
  for (uint32_t seed = 0; seed < 400; ++seed) {
    std::mt19937 rng(seed);
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    const bool scored = seed % 2 == 0;
    std::string file = scored ? "<pad>\t0\n<s>\t0\n</s>\t0\n<unk>\t0\n" : "<pad>\n<s>\n</s>\n<unk>\n";
    const size_t count = 4 + pick(40);
    for (size_t i = 0; i < count; ++i) {
      std::string piece;
      const size_t len = 1 + pick(seed % 3 == 0 ? 9 : 4);
      for (size_t k = 0; k < len; ++k) piece += alphabet[pick(6)];
      if (pick(6) == 0) piece = "<0x" + std::string(pick(2) ? "C3" : "A9") + ">" + (pick(2) ? "<0xA9>" : "");
      static const char* scores[] = {"0", "-1", "-1", "-2", "1", "-inf", "nan", "inf", "-0.5"};
      file += piece + (scored ? std::string("\t") + scores[pick(std::size(scores))] : std::string()) + "\n";
    }
    const Vocab v = Vocab::load(file);
    ASSERT_EQ(v.has_scores(), scored);
    for (int t = 0; t < 20; ++t) {
      std::string text;
      const size_t len = pick(14);
      for (size_t k = 0; k < len; ++k) text += pick(8) == 0 ? "d" : alphabet[pick(std::size(alphabet))];
      ASSERT_EQ(v.encode(text), v.encode_reference(text)) << "seed " << seed << " text \"" << text << '"';
    }
  }
}

}  // namespace

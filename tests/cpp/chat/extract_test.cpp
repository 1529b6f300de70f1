// Marker extraction (raw and trimmed), whitespace trimming and UTF-8 handling.
#include "vorpel/chat/extract.hpp"

#include <gtest/gtest.h>

#include "vorpel/chat/unicode.hpp"

namespace {

using namespace vorpel::chat;
using O = std::optional<std::string>;

TEST(Extract, ToolCall) {
  EXPECT_EQ(extract_tool_call("no call here"), std::nullopt);
  EXPECT_EQ(extract_tool_call(""), std::nullopt);
  EXPECT_EQ(extract_tool_call("a<tool_call>[]</tool_call>b"), O("[]"));
  EXPECT_EQ(extract_tool_call("<tool_call></tool_call>"), O(""));
  EXPECT_EQ(extract_tool_call("x<tool_call>"), O(""));
  EXPECT_EQ(extract_tool_call("<tool_call>{\"name\":\"f\",\"arg"), O("{\"name\":\"f\",\"arg"));
  EXPECT_EQ(extract_tool_call("<tool_call>one</tool_call><tool_call>two</tool_call>"), O("one"));
  EXPECT_EQ(extract_tool_call("<tool_call>\n{\"a\":1}\n</tool_call>"), O("\n{\"a\":1}\n"));
  // A closing marker before the opening one is not a terminator.
  EXPECT_EQ(extract_tool_call("</tool_call><tool_call>x"), O("x"));
  // Independent of thinking blocks.
  EXPECT_EQ(extract_tool_call("<think><tool_call>t</tool_call></think>"), O("t"));
  EXPECT_EQ(extract_tool_call("<tool_call"), std::nullopt);
}

TEST(Extract, Thinking) {
  EXPECT_EQ(extract_thinking("plain"), std::nullopt);
  EXPECT_EQ(extract_thinking("<think> a </think>rest"), O(" a "));
  EXPECT_EQ(extract_thinking("<think>open to the end\n"), O("open to the end\n"));
  EXPECT_EQ(extract_thinking("<think>1</think><think>2</think>"), O("1"));
  EXPECT_EQ(extract_between("xx[[a]]yy]]", "[[", "]]"), O("a"));
  EXPECT_EQ(extract_between("abc", "", ""), O(""));
}

TEST(Extract, TrimmedVariants) {
  EXPECT_EQ(extract_reasoning_trimmed("<think> a </think>more text"), O("a"));
  EXPECT_EQ(extract_reasoning_trimmed("no markers"), std::nullopt);
  EXPECT_EQ(extract_reasoning_trimmed("<think>\n  unterminated rest \n"), O("unterminated rest"));
  EXPECT_EQ(extract_tool_call_trimmed("<tool_call>\n[]\n</tool_call>"), O("[]"));
  EXPECT_EQ(extract_tool_call_trimmed("<tool_call> \n\t </tool_call>"), O(""));
  EXPECT_EQ(extract_tool_call_trimmed("nothing"), std::nullopt);
  EXPECT_EQ(extract_tool_call_trimmed("<tool_call>\xE3\x80\x80{\"a\": 1}\xC2\xA0</tool_call>"), O("{\"a\": 1}"));
}

TEST(Extract, TrimUnicodeWhitespace) {
  EXPECT_EQ(trim_unicode_whitespace(""), "");
  EXPECT_EQ(trim_unicode_whitespace(" \t\n\v\f\r"), "");
  EXPECT_EQ(trim_unicode_whitespace(" a b "), "a b");
  // NEL, NBSP, ogham space, en quad .. hair space, line/paragraph separators,
  // narrow NBSP, medium math space, ideographic space.
  const std::string ws = "\xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x8A\xE2\x80\xA8\xE2\x80\xA9"
                         "\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80";
  EXPECT_EQ(trim_unicode_whitespace(ws + "x" + ws), "x");
  // Zero-width space and BOM are not White_Space.
  EXPECT_EQ(trim_unicode_whitespace("\xE2\x80\x8Bx\xEF\xBB\xBF"), "\xE2\x80\x8Bx\xEF\xBB\xBF");
  // Invalid bytes stop the trim and are kept.
  EXPECT_EQ(trim_unicode_whitespace(" \xFF x \x80 "), "\xFF x \x80");
  // A lone continuation byte after a multi-byte char is not whitespace.
  EXPECT_EQ(trim_unicode_whitespace("x\xE3\x80\x80\x80"), "x\xE3\x80\x80\x80");
  EXPECT_EQ(trim_unicode_whitespace("\xC3\xA9 "), "\xC3\xA9");
}

TEST(Unicode, LossyDecodingReplacesMaximalSubparts) {
  EXPECT_EQ(utf8_lossy("abc\xC3\xA9"), "abc\xC3\xA9");
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(utf8_lossy("\xFF"), r);
  EXPECT_EQ(utf8_lossy("a\xE2\x96"), "a" + r);            // truncated 3-byte: one replacement
  EXPECT_EQ(utf8_lossy("\xE2\x96x"), r + "x");
  EXPECT_EQ(utf8_lossy("\xC0\xAF"), r + r);               // overlong lead: each byte
  EXPECT_EQ(utf8_lossy("\xED\xA0\x80"), r + r + r);       // surrogate
  EXPECT_EQ(utf8_lossy("\xF4\x90\x80\x80"), r + r + r + r);  // beyond U+10FFFF
  EXPECT_EQ(utf8_lossy("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(utf8_lossy("\xF0\x9F\x98"), r);
  EXPECT_EQ(utf8_lossy(r), r);
}

TEST(Unicode, Properties) {
  EXPECT_TRUE(is_alphabetic(U'\u00E9'));
  EXPECT_TRUE(is_alphabetic(U'\u4E2D'));
  EXPECT_FALSE(is_alphabetic(U'\u00B2'));
  EXPECT_TRUE(is_numeric(U'\u00B2'));
  EXPECT_TRUE(is_numeric(U'\u0663'));
  EXPECT_TRUE(is_uppercase(U'\u00C4'));
  EXPECT_FALSE(is_uppercase(U'\u00E4'));
  EXPECT_TRUE(is_lowercase(U'\u00E4'));
  EXPECT_FALSE(is_lowercase(U'\u4E2D'));
  EXPECT_FALSE(is_alphabetic(0xFFFD));
  EXPECT_TRUE(is_white_space(0x3000));
  EXPECT_FALSE(is_white_space(0x200B));
}

}  // namespace

// Tools JSON scanning and tool-name normalisation.
#include "vorpel/constrained/tool_parse.hpp"

#include <gtest/gtest.h>

namespace {

using namespace vorpel::constrained;
using Keys = std::vector<std::string>;

TEST(ParseTools, ArrayAndSingleObject) {
  auto t = parse_tools(
      "[ {\"name\":\"getWeather\",\"parameters\":{\"type\":\"object\",\"properties\":{\"city\":{},\"unit\":{}}}},\n"
      "  {\"name\":\"get_time\"} ]");
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].name, "getWeather");
  EXPECT_EQ(t[0].normalized, "get_weather");
  EXPECT_EQ(t[0].keys, (Keys{"city", "unit"}));
  EXPECT_EQ(t[1].name, "get_time");
  EXPECT_TRUE(t[1].keys.empty());

  auto one = parse_tools("  {\"name\":\"solo\",\"parameters\":{\"properties\":{\"x\":{\"type\":\"string\"}}}}");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].name, "solo");
  EXPECT_EQ(one[0].keys, (Keys{"x"}));
}

TEST(ParseTools, NamePatternIsExact) {
  // A space after the colon: the pattern is not there, so no tool.
  EXPECT_TRUE(parse_tools("[{\"name\": \"get_weather\"}]").empty());
  EXPECT_TRUE(parse_tools("").empty());
  EXPECT_TRUE(parse_tools("no json").empty());
  EXPECT_TRUE(parse_tools("[]").empty());
  // The first occurrence anywhere in the object counts, nested ones included.
  auto t = parse_tools("[{\"type\":\"function\",\"function\":{\"name\":\"f\",\"parameters\":{\"a\":{}}}}]");
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].name, "f");
  EXPECT_EQ(t[0].keys, (Keys{"a"}));
  // Escapes are kept raw; an escaped quote does not end the name.
  t = parse_tools("[{\"name\":\"a\\\"b\"}]");
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].name, "a\\\"b");
  // Objects without a name are skipped, later ones still read.
  t = parse_tools("[{\"x\":1}, 5, \"s\", {\"name\":\"g\"}]");
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].name, "g");
}

TEST(ParseTools, ScanStopsAndSkips) {
  // `]` at the top level ends the scan.
  EXPECT_EQ(parse_tools("[{\"name\":\"a\"}] {\"name\":\"b\"}").size(), 1u);
  // An unterminated object ends it too.
  auto t = parse_tools("[{\"name\":\"a\"},{\"name\":\"b\"");
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].name, "a");
  // Braces inside strings do not count.
  t = parse_tools("[{\"description\":\"uses } and {\",\"name\":\"c\"},{\"name\":\"d\"}]");
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].name, "c");
  EXPECT_EQ(t[1].name, "d");
  // Text before the first bracket is ignored.
  EXPECT_EQ(parse_tools("tools: {\"name\":\"e\"}").at(0).name, "e");
}

TEST(ParseTools, Keys) {
  auto keys = [](std::string params) {
    auto t = parse_tools("[{\"name\":\"t\",\"parameters\":" + params + "}]");
    EXPECT_EQ(t.size(), 1u);
    return t.empty() ? Keys{} : t[0].keys;
  };
  EXPECT_EQ(keys("{\"type\":\"object\",\"properties\":{\"city\":{},\"unit\":{}}}"), (Keys{"city", "unit"}));
  // Without properties only object-valued members are keys.
  EXPECT_EQ(keys("{\"city\":{},\"strict\":true}"), (Keys{"city"}));
  EXPECT_EQ(keys("{\"type\":\"object\",\"required\":[\"a\"],\"b\":{\"x\":[1,{}]},\"c\":\"{\"}"), (Keys{"b"}));
  // Only the first "properties": counts; not followed by an object, the
  // parameters' object-valued members are taken instead.
  EXPECT_EQ(keys("{\"properties\":1,\"properties\":{\"a\":{}}}"), (Keys{"properties"}));
  EXPECT_EQ(keys("{\"properties\" :{\"a\":{}}}"), (Keys{"properties"}));
  EXPECT_EQ(keys("{\"properties\":\n {\"a\":{}}}"), (Keys{"a"}));
  // With properties every value kind is skipped properly and all keys count.
  EXPECT_EQ(keys("{\"properties\":{\"a\":\"s,}\",\"b\":[1,\"]\"],\"c\":12,\"d\":{\"e\":{}},\"\":{},\"f\":null}}"),
            (Keys{"a", "b", "c", "d", "f"}));
  EXPECT_EQ(keys("{\"properties\": {\"k\\\"q\":{}}}"), (Keys{"k\\\"q"}));
  // Parameters that are not an object give no keys.
  EXPECT_EQ(keys("\"none\""), (Keys{}));
}

TEST(NormalizeName, Examples) {
  EXPECT_EQ(normalize_name("getWeather"), "get_weather");
  EXPECT_EQ(normalize_name("JSONParser"), "json_parser");
  EXPECT_EQ(normalize_name("Get-Weather"), "get_weather");
  EXPECT_EQ(normalize_name("get2Day"), "get2_day");
  EXPECT_EQ(normalize_name("__x__"), "x");
  EXPECT_EQ(normalize_name(""), "");
  EXPECT_EQ(normalize_name("___"), "");
  EXPECT_EQ(normalize_name("get weather  now"), "get_weather_now");
  EXPECT_EQ(normalize_name("HTTP2Server"), "http2_server");
  EXPECT_EQ(normalize_name("ABC"), "abc");
  EXPECT_EQ(normalize_name("getURL"), "get_url");
  EXPECT_EQ(normalize_name("a_B"), "a_b");
  EXPECT_EQ(normalize_name("already_snake"), "already_snake");
}

TEST(NormalizeName, NonAscii) {
  // Non-ASCII letters are word characters kept as they are, uppercase ones
  // still split words.
  EXPECT_EQ(normalize_name("caf\xC3\xA9"), "caf\xC3\xA9");                     // café
  EXPECT_EQ(normalize_name("wetter\xC3\x84nderung"), "wetter_\xC3\x84nderung");  // wetterÄnderung
  EXPECT_EQ(normalize_name("\xC3\x84pfel"), "\xC3\x84pfel");
  EXPECT_EQ(normalize_name("\xE5\xA4\xA9\xE6\xB0\x94-x"), "\xE5\xA4\xA9\xE6\xB0\x94_x");  // 天气-x
  EXPECT_EQ(normalize_name("a\xC2\xB2" "B"), "a\xC2\xB2_b");  // superscript two is numeric
  EXPECT_EQ(normalize_name("a\xE2\x82\xAC" "b"), "a_b");          // the euro sign separates
  EXPECT_EQ(normalize_name("x\xFFy"), "x_y");                  // invalid byte separates
}

}  // namespace

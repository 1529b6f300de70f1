// Tool-call constraint: tracker transitions, bias over a hand-made token
// table, the used-key filter, give-way, and the fast bias against a plain
// per-token reference on random vocabularies.
#include "vorpel/constrained/tool_constraint.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "vorpel/core/panic.hpp"

namespace {

using namespace vorpel::constrained;

const char* kTools =
    "[{\"name\":\"get_weather\",\"parameters\":{\"type\":\"object\",\"properties\":{\"city\":{},\"unit\":{}}}},"
    "{\"name\":\"getTime\",\"parameters\":{\"properties\":{\"zone\":{}}}},"
    "{\"name\":\"noargs\"}]";

// Token table of the scenarios; the index of each entry is its id.
const std::vector<std::string> kTable = {
    "",               // 0  empty (a control token)
    "get_",           // 1
    "weather",        // 2
    "w",              // 3
    "we",             // 4
    "time",           // 5
    "t",              // 6
    "x",              // 7
    "weather\",",     // 8  name end plus an unchecked comma
    "\"",             // 9
    "\",",            // 10
    "get",            // 11
    "_",              // 12
    "{\"name\":\"",   // 13
    "city",           // 14
    "unit",           // 15
    "\":",            // 16
    "{",              // 17
    ",",              // 18
    ", ",             // 19
    "\"arguments\":{",  // 20
    "\"c",            // 21
    "ather",          // 22
    "timex",          // 23
    " ",              // 24
    "weathe",         // 25
    "zone",           // 26
    "}",              // 27
};

ToolConstraint make(const char* tools = kTools, const std::vector<std::string>& table = kTable) {
  return ToolConstraint(parse_tools(tools), std::make_shared<const TokenBytesIndex>(table));
}

// Ids with bias 0, or "all" when nothing is masked.
std::set<uint32_t> allowed_ids(const ToolConstraint& c, size_t n = kTable.size()) {
  const auto b = c.bias(n);
  std::set<uint32_t> ok;
  for (uint32_t i = 0; i < n; ++i) {
    EXPECT_TRUE(b[i] == 0.0f || b[i] == kMasked) << i;
    if (b[i] == 0.0f) ok.insert(i);
  }
  return ok;
}

bool all_zero(const ToolConstraint& c, size_t n = kTable.size()) { return allowed_ids(c, n).size() == n; }

void feed(ToolConstraint& c, std::initializer_list<uint32_t> ids) {
  for (uint32_t id : ids) c.feed(id);
}

TEST(ToolConstraint, NameCapture) {
  auto c = make();
  EXPECT_TRUE(all_zero(c));
  EXPECT_FALSE(c.restricting());
  feed(c, {13});
  EXPECT_EQ(c.mode(), CaptureMode::Name);
  EXPECT_EQ(c.capture(), "");
  EXPECT_TRUE(c.restricting());
  // From the root: get_... and noargs; getTime is offered as get_time.
  EXPECT_EQ(allowed_ids(c), (std::set<uint32_t>{0, 1, 11}));
  feed(c, {1});
  EXPECT_EQ(c.capture(), "get_");
  EXPECT_EQ(allowed_ids(c), (std::set<uint32_t>{0, 2, 3, 4, 5, 6, 8, 25}));
  feed(c, {2});
  EXPECT_EQ(c.capture(), "get_weather");
  // Terminal node: anything starting with a quote, the rest unchecked.
  EXPECT_EQ(allowed_ids(c), (std::set<uint32_t>{0, 9, 10, 16, 20, 21}));
  feed(c, {10});
  EXPECT_EQ(c.mode(), CaptureMode::None);
  EXPECT_EQ(c.last_tool_name(), "get_weather");
  EXPECT_TRUE(all_zero(c));
  EXPECT_FALSE(c.restricting());
}

TEST(ToolConstraint, RawCamelCaseNameIsNotReachable) {
  auto c = make();
  c.feed_bytes("{\"name\":\"getT");
  EXPECT_EQ(c.capture(), "getT");
  EXPECT_FALSE(c.restricting());
  EXPECT_TRUE(all_zero(c));
}

TEST(ToolConstraint, OffTheTrieStaysOffForTheCapture) {
  auto c = make();
  feed(c, {13, 7});  // "x" is no name's first byte
  EXPECT_EQ(c.mode(), CaptureMode::Name);
  EXPECT_TRUE(all_zero(c));
  feed(c, {1});  // even though "xget_" ... never comes back
  EXPECT_EQ(c.capture(), "xget_");
  EXPECT_TRUE(all_zero(c));
  feed(c, {9});
  EXPECT_EQ(c.last_tool_name(), "xget_");
  // Keys of an unknown tool: no restriction.
  feed(c, {18, 20, 9});
  EXPECT_EQ(c.mode(), CaptureMode::Key);
  EXPECT_TRUE(all_zero(c));
}

TEST(ToolConstraint, KeyCaptureOnlyAfterBraceOrComma) {
  auto c = make();
  c.feed_bytes("{\"name\":\"get_weather\",");
  feed(c, {20});
  EXPECT_TRUE(c.in_arguments());
  EXPECT_EQ(c.depth(), 2u);
  feed(c, {9});
  EXPECT_EQ(c.mode(), CaptureMode::Key);
  EXPECT_EQ(allowed_ids(c), (std::set<uint32_t>{0, 14, 15}));
  feed(c, {14});
  EXPECT_EQ(allowed_ids(c), (std::set<uint32_t>{0, 9, 10, 16, 20, 21}));
  feed(c, {16});
  EXPECT_EQ(c.mode(), CaptureMode::None);
  EXPECT_EQ(c.used_keys(), std::vector<std::string>{"city"});
  c.feed_bytes("\"Par\\\"is, {x\"");  // a string value with an escaped quote, comma and brace
  EXPECT_FALSE(c.in_string());
  EXPECT_EQ(c.depth(), 2u);
  // ", " then a quote: no capture, nothing restricted.
  feed(c, {19, 9});
  EXPECT_EQ(c.mode(), CaptureMode::None);
  EXPECT_TRUE(all_zero(c));
  c.feed_bytes("unit\":1,");
  EXPECT_EQ(c.used_keys(), std::vector<std::string>{"city"});  // that key was not captured
  feed(c, {9});
  EXPECT_EQ(c.mode(), CaptureMode::Key);
  // A nested object inside arguments: its keys are not captured.
  c.feed_bytes("unit\":{\"");
  EXPECT_EQ(c.mode(), CaptureMode::None);
  EXPECT_EQ(c.depth(), 3u);
  c.feed_bytes("a\":1,\"b\":2}");
  EXPECT_EQ(c.mode(), CaptureMode::None);
  EXPECT_EQ(c.depth(), 2u);
  EXPECT_TRUE(c.in_arguments());
  feed(c, {27});
  EXPECT_FALSE(c.in_arguments());
  EXPECT_EQ(c.depth(), 1u);
  feed(c, {18, 9});
  EXPECT_EQ(c.mode(), CaptureMode::None);
}

TEST(ToolConstraint, UsedKeyFilter) {
  for (bool filter : {false, true}) {
    SCOPED_TRACE(filter);
    auto c = make();
    c.set_used_key_filter(filter);
    c.feed_bytes("{\"name\":\"get_weather\",\"arguments\":{\"");
    EXPECT_EQ(allowed_ids(c), (std::set<uint32_t>{0, 14, 15}));
    c.feed_bytes("city\":\"Oslo\",\"");
    EXPECT_EQ(allowed_ids(c), (filter ? std::set<uint32_t>{0, 15} : std::set<uint32_t>{0, 14, 15}));
    c.feed_bytes("unit\":\"c\",\"");
    EXPECT_EQ((c.used_keys()), (std::vector<std::string>{"city", "unit"}));
    EXPECT_EQ(allowed_ids(c), (std::set<uint32_t>{0, 14, 15}));  // all used: all again
    c.feed_bytes("city\":1}}");
    EXPECT_EQ(c.used_keys().size(), 2u);  // not added twice
    // A new name capture clears the used keys.
    c.feed_bytes("{\"name\":\"");
    EXPECT_TRUE(c.used_keys().empty());
  }
}

TEST(ToolConstraint, FilterToggledDuringKeyCapture) {
  auto c = make();
  c.feed_bytes("{\"name\":\"get_weather\",\"arguments\":{\"city\":1,\"");
  EXPECT_EQ(allowed_ids(c), (std::set<uint32_t>{0, 14, 15}));
  c.set_used_key_filter(true);
  EXPECT_EQ(allowed_ids(c), (std::set<uint32_t>{0, 15}));
}

TEST(ToolConstraint, ToolWithoutKeysAllowsOnlyEmptyTokens) {
  auto c = make();
  c.set_used_key_filter(true);
  c.feed_bytes("{\"name\":\"noargs\",\"arguments\":{\"");
  EXPECT_EQ(allowed_ids(c), (std::set<uint32_t>{0}));
  EXPECT_TRUE(c.restricting());
}

TEST(ToolConstraint, LaterToolWithSameNormalisedNameReplacesKeys) {
  auto c = make("[{\"name\":\"getTime\",\"parameters\":{\"properties\":{\"zone\":{}}}},"
                "{\"name\":\"get_time\",\"parameters\":{\"properties\":{\"unit\":{}}}}]");
  c.feed_bytes("{\"name\":\"get_time\",\"arguments\":{\"");
  EXPECT_EQ(allowed_ids(c), (std::set<uint32_t>{0, 15}));
}

TEST(ToolConstraint, GivesWayWhenNothingIsAllowed) {
  // No empty token, and nothing continues "zz" from the root or from "z".
  const std::vector<std::string> table = {"a", "b", "{\"name\":\"", "zq", "\""};
  auto c = make("[{\"name\":\"zz\"}]", table);
  c.feed(2);
  EXPECT_EQ(c.mode(), CaptureMode::Name);
  EXPECT_FALSE(c.restricting());
  EXPECT_EQ(allowed_ids(c, 5).size(), 5u);
  c.feed_bytes("z");
  EXPECT_FALSE(c.restricting());
  EXPECT_EQ(allowed_ids(c, 5).size(), 5u);
  // At the terminal node the quote token is allowed again.
  c.feed_bytes("z");
  EXPECT_TRUE(c.restricting());
  EXPECT_EQ(allowed_ids(c, 5), (std::set<uint32_t>{4}));
}

TEST(ToolConstraint, VocabularySizeDiffersFromTable) {
  auto c = make();
  feed(c, {13, 1});
  // Ids beyond the table are masked while restricting.
  const auto big = c.bias(kTable.size() + 3);
  for (size_t i = kTable.size(); i < big.size(); ++i) EXPECT_EQ(big[i], kMasked);
  // Only ids below n count; with n = 2 only the empty token 0 is allowed.
  EXPECT_EQ(allowed_ids(c, 2), (std::set<uint32_t>{0}));
  EXPECT_TRUE(c.bias(0).empty());
  // Without the empty token in range nothing is allowed: give way.
  auto d = make(kTools, std::vector<std::string>(kTable.begin() + 1, kTable.end()));
  d.feed_bytes("{\"name\":\"get_");
  EXPECT_EQ(allowed_ids(d, 1).size(), 1u);
  EXPECT_EQ(allowed_ids(d, 2), (std::set<uint32_t>{1}));  // "weather" is id 1 here
}

TEST(ToolConstraint, TrackerDetails) {
  auto c = make();
  // Depth never drops below zero.
  c.feed_bytes("]]}}");
  EXPECT_EQ(c.depth(), 0u);
  c.feed_bytes("[{");
  EXPECT_EQ(c.depth(), 2u);
  // A name pattern inside a string value is not a capture.
  auto s = make();
  s.feed_bytes("{\"q\":\"\\\"name\\\":\\\"x");
  EXPECT_TRUE(s.in_string());
  EXPECT_EQ(s.mode(), CaptureMode::None);
  // Nor is one inside the arguments object.
  auto a = make();
  a.feed_bytes("{\"name\":\"get_time\",\"arguments\":{\"name\":\"");
  EXPECT_EQ(a.mode(), CaptureMode::None);
  EXPECT_TRUE(a.in_string());
  EXPECT_EQ(a.last_tool_name(), "get_time");
  // A string value starts after ':' even with a short tail; the tail keeps 13 bytes.
  auto t = make();
  t.feed_bytes(":\"");
  EXPECT_TRUE(t.in_string());
  t.feed_bytes("0123456789abcdefg");
  EXPECT_EQ(t.tail(), "456789abcdefg");
  // Ids beyond the table are ignored.
  auto u = make();
  u.feed(9999);
  EXPECT_EQ(u.tail(), "");
  // Invalid UTF-8 in a captured name is replaced.
  auto v = make();
  v.feed_bytes("{\"name\":\"a\xFF\"");
  EXPECT_EQ(v.last_tool_name(), "a\xEF\xBF\xBD");
}

TEST(ToolConstraint, MakeFromToolsJson) {
  const auto idx = std::make_shared<const TokenBytesIndex>(kTable);
  EXPECT_FALSE(make_tool_constraint("[{\"name\": \"get_weather\"}]", idx).has_value());
  EXPECT_FALSE(make_tool_constraint("", idx).has_value());
  auto c = make_tool_constraint("{\"name\":\"get_weather\"}", idx);
  ASSERT_TRUE(c.has_value());
  c->feed(13);
  EXPECT_TRUE(c->restricting());
}

TEST(TokenBytesIndex, FromPairs) {
  const std::vector<std::pair<uint32_t, std::string>> pairs = {{3, "c"}, {0, "a"}, {3, "d"}, {5, ""}};
  const auto idx = TokenBytesIndex::from_pairs(pairs);
  ASSERT_EQ(idx.size(), 6u);
  EXPECT_EQ(idx.bytes(0), "a");
  EXPECT_EQ(idx.bytes(1), "");
  EXPECT_EQ(idx.bytes(3), "d");
  EXPECT_EQ(TokenBytesIndex::from_pairs({}).size(), 0u);
  EXPECT_EQ(std::vector<uint32_t>(idx.empty_ids().begin(), idx.empty_ids().end()),
            (std::vector<uint32_t>{1, 2, 4, 5}));
  EXPECT_EQ(idx.starting_with('d').size(), 1u);
  EXPECT_THROW(TokenBytesIndex::from_pairs(std::vector<std::pair<uint32_t, std::string>>{{UINT32_MAX, "x"}}),
               vorpel::Panic);
}

// Random well-formed calls: the tracker must see exactly the name and the
// top-level argument keys, whatever the values hold, and end balanced.
TEST(ToolConstraint, TrackerFollowsRandomCalls) {
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto pick = [&](size_t k) { return std::uniform_int_distribution<size_t>(0, k - 1)(rng); };
    auto letters = [&](size_t max_len) {
      std::string w(1 + pick(max_len), 'a');
      for (auto& ch : w) ch = static_cast<char>('a' + pick(26));
      return w;
    };
    // A JSON string body whose content may look like the tracker's patterns.
    auto tricky_string = [&] {
      static const std::vector<std::string> parts = {
          "x", " ", ",", "{", "}", "[", "]", ":", "\\\"", "\\\\", "\\n", "\"name\":\"", "\"arguments\":{", ",\""};
      std::string b;
      for (size_t i = pick(6); i > 0; --i) {
        std::string p = parts[pick(parts.size())];
        // Raw quotes only appear escaped inside a string.
        std::string esc;
        for (size_t j = 0; j < p.size(); ++j) {
          if (p[j] == '\\') {
            esc += p.substr(j, 2);
            ++j;
          } else if (p[j] == '"') {
            esc += "\\\"";
          } else {
            esc += p[j];
          }
        }
        b += esc;
      }
      return "\"" + b + "\"";
    };
    std::function<std::string(int)> value = [&](int depth) -> std::string {
      switch (pick(depth > 2 ? 3 : 5)) {
        case 0: return std::to_string(pick(1000));
        case 1: return tricky_string();
        case 2: return pick(2) ? "true" : "null";
        case 3: {  // array of plain scalars
          std::string a = "[";
          for (size_t i = pick(4); i > 0; --i) a += (a.size() > 1 ? "," : "") + std::to_string(pick(9));
          return a + "]";
        }
        default: {  // nested object with plain keys
          std::string o = "{";
          for (size_t i = pick(3); i > 0; --i) o += (o.size() > 1 ? ",\"" : "\"") + letters(3) + "\":" + value(depth + 1);
          return o + "}";
        }
      }
    };
    ToolConstraint c = make();
    const std::string name = letters(8);
    std::vector<std::string> keys;
    std::string call = "{\"name\":\"" + name + "\",\"arguments\":{";
    for (size_t i = pick(5); i > 0; --i) {
      const std::string k = letters(4);
      if (std::find(keys.begin(), keys.end(), k) == keys.end()) keys.push_back(k);
      call += (call.back() == '{' ? "\"" : ",\"") + k + "\":" + value(0);
    }
    call += "}}";
    // Feed in random chunks, as tokens would come.
    for (size_t i = 0; i < call.size();) {
      const size_t len = 1 + pick(5);
      c.feed_bytes(std::string_view(call).substr(i, len));
      i += len;
    }
    EXPECT_EQ(c.last_tool_name(), name) << call;
    EXPECT_EQ(c.used_keys(), keys) << call;
    EXPECT_EQ(c.mode(), CaptureMode::None) << call;
    EXPECT_EQ(c.depth(), 0u) << call;
    EXPECT_FALSE(c.in_arguments()) << call;
    EXPECT_FALSE(c.in_string()) << call;
  }
}

// ---- randomized comparison with a per-token reference over spelling sets ----

// Bias from first principles: a spelling set instead of a trie, every token
// walked from the capture text.
std::vector<float> reference_bias(const std::set<std::string>* spellings, const std::string& capture,
                                  const std::vector<std::string>& table, size_t n) {
  std::vector<float> zeros(n, 0.0f);
  if (spellings == nullptr) return zeros;
  auto is_prefix = [&](const std::string& p) {  // the root exists even in an empty trie
    return p.empty() || std::any_of(spellings->begin(), spellings->end(), [&](const std::string& s) { return s.starts_with(p); });
  };
  if (!is_prefix(capture)) return zeros;
  std::vector<float> out(n, kMasked);
  bool any = false;
  for (size_t i = 0; i < std::min(n, table.size()); ++i) {
    std::string p = capture;
    bool ok = true;
    for (char b : table[i]) {
      if (b == '"' && spellings->count(p)) break;
      p += b;
      if (!is_prefix(p)) {
        ok = false;
        break;
      }
    }
    if (ok) {
      out[i] = 0.0f;
      any = true;
    }
  }
  return any ? out : zeros;
}

std::string random_text(std::mt19937& rng, std::string_view alphabet, size_t max_len) {
  std::string s(std::uniform_int_distribution<size_t>(0, max_len)(rng), ' ');
  for (auto& ch : s) ch = alphabet[std::uniform_int_distribution<size_t>(0, alphabet.size() - 1)(rng)];
  return s;
}

TEST(ToolConstraint, FastBiasMatchesReference) {
  int restricted_cases = 0;
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto pick = [&](size_t k) { return std::uniform_int_distribution<size_t>(0, k - 1)(rng); };

    // Tools: names over a small alphabet, keys that may hold escaped quotes.
    const size_t tool_count = 1 + pick(4);
    std::string json = "[";
    std::vector<std::pair<std::string, std::vector<std::string>>> tools;  // raw name, keys
    for (size_t t = 0; t < tool_count; ++t) {
      std::string name = random_text(rng, "abcA_", 5);
      std::vector<std::string> keys;
      const size_t kc = pick(4);
      for (size_t k = 0; k < kc; ++k) {
        std::string key = random_text(rng, "abc", 4);
        if (pick(8) == 0) key += "\\\"x";
        if (!key.empty()) keys.push_back(key);
      }
      if (t) json += ',';
      json += "{\"name\":\"" + name + "\",\"parameters\":{\"properties\":{";
      for (size_t k = 0; k < keys.size(); ++k) {
        if (k) json += ',';
        json += "\"" + keys[k] + "\":{}";
      }
      json += "}}}";
      tools.emplace_back(name, keys);
    }
    json += "]";
    const auto records = parse_tools(json);
    ASSERT_EQ(records.size(), tools.size()) << json;

    std::set<std::string> names;
    std::map<std::string, std::vector<std::string>> keys_of;  // later tool replaces
    for (const auto& r : records) {
      names.insert(r.normalized);
      keys_of[r.normalized] = r.keys;
    }

    // Vocabulary: short random pieces, some empty, some with quotes and commas.
    std::vector<std::string> table(20 + pick(300));
    for (auto& b : table) b = random_text(rng, "abc_\"\\,x", 4);
    const bool filter = pick(2);
    const size_t n = pick(4) == 0 ? pick(table.size() + 10) : table.size();

    auto c = ToolConstraint(records, std::make_shared<const TokenBytesIndex>(table));
    c.set_used_key_filter(filter);
    auto strip_quotes = [](std::string s) { return s.substr(0, s.find('"')); };

    const std::set<std::string>* spellings = nullptr;
    std::set<std::string> key_set;
    std::string capture;
    const auto& rec = records[pick(records.size())];
    if (pick(2) == 0) {
      // Name capture: a prefix of a name, sometimes a random text.
      capture = pick(5) == 0 ? random_text(rng, "abc_", 4) : rec.normalized.substr(0, pick(rec.normalized.size() + 1));
      c.feed_bytes("{\"name\":\"" + capture);
      spellings = &names;
      ASSERT_EQ(c.mode(), CaptureMode::Name);
    } else {
      // Key capture after some completed keys.
      std::string text = "{\"name\":\"" + rec.normalized + "\",\"arguments\":{";
      std::set<std::string> used;
      const size_t done = pick(3);
      for (size_t k = 0; k < done; ++k) {
        std::string key = rec.keys.empty() || pick(4) == 0 ? random_text(rng, "abc", 3)
                                                           : strip_quotes(rec.keys[pick(rec.keys.size())]);
        if (!key.empty()) used.insert(key);
        text += (k ? ",\"" : "\"") + key + "\":\"v\"";
      }
      capture = rec.keys.empty() || pick(5) == 0 ? random_text(rng, "abc", 3)
                                                 : strip_quotes(rec.keys[pick(rec.keys.size())]);
      capture = capture.substr(0, pick(capture.size() + 1));
      text += (done ? ",\"" : "\"") + capture;
      c.feed_bytes(text);
      ASSERT_EQ(c.mode(), CaptureMode::Key) << text;
      const auto& all = keys_of.at(rec.normalized);
      if (filter) {
        for (const auto& k : all)
          if (!used.count(k)) key_set.insert(k);
      }
      if (key_set.empty()) key_set.insert(all.begin(), all.end());
      spellings = &key_set;
    }
    ASSERT_EQ(c.capture(), capture);
    const auto want = reference_bias(spellings, capture, table, n);
    const auto got = c.bias(n);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < n; ++i) {
      ASSERT_EQ(got[i], want[i]) << "n " << n << " filter " << filter << " token " << i << " bytes '" << table.at(std::min(i, table.size() - 1))
                                 << "' capture '" << capture << "' json " << json;
    }
    // restricting() agrees with a full-size bias.
    const auto full = reference_bias(spellings, capture, table, table.size());
    const bool restricted = std::any_of(full.begin(), full.end(), [](float v) { return v != 0.0f; });
    EXPECT_EQ(c.restricting(), restricted);
    restricted_cases += restricted;
  }
  EXPECT_GT(restricted_cases, 100);  // the draw must exercise real masks, not just give-way
}

}  // namespace

// Pattern scanner over tools JSON (names, argument keys) and the snake_case
// normaliser of tool names.
#include "vorpel/constrained/tool_parse.hpp"

#include <optional>

#include "vorpel/chat/unicode.hpp"

namespace vorpel::constrained {
namespace {

constexpr size_t npos = std::string_view::npos;

bool is_ws(char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }

size_t skip_ws(std::string_view s, size_t i) {
  while (i < s.size() && is_ws(s[i])) ++i;
  return i;
}

// s[open] is a quote; returns the index of the next unescaped quote, or npos.
size_t string_end(std::string_view s, size_t open) {
  for (size_t i = open + 1; i < s.size(); ++i) {
    if (s[i] == '\\') {
      ++i;
    } else if (s[i] == '"') {
      return i;
    }
  }
  return npos;
}

// s[open] is '{' or '['; returns one past the bracket that balances it,
// counting both kinds outside strings, or npos when the text ends first.
size_t balanced_end(std::string_view s, size_t open) {
  size_t depth = 0;
  for (size_t i = open; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '"') {
      i = string_end(s, i);
      if (i == npos) return npos;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      if (--depth == 0) return i + 1;
    }
  }
  return npos;
}

// Object after `pattern` (first occurrence) and optional whitespace.
std::optional<std::string_view> object_after(std::string_view s, std::string_view pattern) {
  const size_t at = s.find(pattern);
  if (at == npos) return std::nullopt;
  const size_t i = skip_ws(s, at + pattern.size());
  if (i >= s.size() || s[i] != '{') return std::nullopt;
  const size_t end = balanced_end(s, i);
  if (end == npos) return std::nullopt;
  return s.substr(i, end - i);
}

// Members of the object `obj` (starting with '{'): every non-empty key, or
// with objects_only just those whose value is an object.
std::vector<std::string> member_keys(std::string_view obj, bool objects_only) {
  std::vector<std::string> keys;
  size_t i = 1;
  while (i < obj.size()) {
    const char c = obj[i];
    if (is_ws(c) || c == ',') {
      ++i;
      continue;
    }
    if (c == '}') break;
    if (c != '"') {
      ++i;
      continue;
    }
    const size_t close = string_end(obj, i);
    if (close == npos) break;
    const std::string_view key = obj.substr(i + 1, close - i - 1);
    const size_t colon = obj.find(':', close + 1);
    if (colon == npos) break;
    size_t v = skip_ws(obj, colon + 1);
    const bool is_object = v < obj.size() && obj[v] == '{';
    if (!key.empty() && (!objects_only || is_object)) keys.emplace_back(key);
    if (v >= obj.size()) break;
    if (obj[v] == '"') {
      v = string_end(obj, v);
      if (v == npos) break;
      i = v + 1;
    } else if (obj[v] == '{' || obj[v] == '[') {
      v = balanced_end(obj, v);
      if (v == npos) break;
      i = v;
    } else {
      while (v < obj.size() && obj[v] != ',' && obj[v] != ']' && obj[v] != '}') ++v;
      i = v;
    }
  }
  return keys;
}

std::optional<ToolRecord> read_tool(std::string_view obj) {
  static constexpr std::string_view kName = "\"name\":\"";
  const size_t at = obj.find(kName);
  if (at == npos) return std::nullopt;
  const size_t open = at + kName.size() - 1;
  const size_t close = string_end(obj, open);
  if (close == npos) return std::nullopt;
  ToolRecord t;
  t.name = std::string(obj.substr(open + 1, close - open - 1));
  t.normalized = normalize_name(t.name);
  if (auto params = object_after(obj, "\"parameters\":")) {
    if (auto props = object_after(*params, "\"properties\":")) {
      t.keys = member_keys(*props, false);
    } else {
      t.keys = member_keys(*params, true);
    }
  }
  return t;
}

}  // namespace

std::vector<ToolRecord> parse_tools(std::string_view s) {
  std::vector<ToolRecord> tools;
  size_t i = s.find_first_of("{[");
  if (i == npos) return tools;
  if (s[i] == '[') ++i;
  while (i < s.size()) {
    const char c = s[i];
    if (is_ws(c) || c == ',') {
      ++i;
    } else if (c == ']') {
      break;
    } else if (c == '{') {
      const size_t end = balanced_end(s, i);
      if (end == npos) break;  // an unterminated object cannot be read
      if (auto t = read_tool(s.substr(i, end - i))) tools.push_back(std::move(*t));
      i = end;
    } else {
      ++i;
    }
  }
  return tools;
}

std::string normalize_name(std::string_view name) {
  using namespace vorpel::chat;
  std::vector<char32_t> cps;
  cps.reserve(name.size());
  for (size_t pos = 0; pos < name.size();) {
    const Decoded d = decode_utf8(name, pos);
    cps.push_back(d.cp);
    pos += d.len;
  }
  auto ascii = [](char32_t c) { return c < 0x80; };
  auto is_word = [&](char32_t c) {
    if (ascii(c)) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    return is_alphabetic(c) || is_numeric(c);
  };
  auto is_upper = [&](char32_t c) { return ascii(c) ? (c >= 'A' && c <= 'Z') : is_uppercase(c); };
  auto is_lower = [&](char32_t c) { return ascii(c) ? (c >= 'a' && c <= 'z') : is_lowercase(c); };
  auto is_digit = [&](char32_t c) { return ascii(c) ? (c >= '0' && c <= '9') : is_numeric(c); };

  std::string out;
  out.reserve(name.size() + 8);
  auto last_is_underscore = [&] { return !out.empty() && out.back() == '_'; };
  for (size_t i = 0; i < cps.size(); ++i) {
    const char32_t c = cps[i];
    if (!is_word(c)) {
      if (!out.empty() && !last_is_underscore()) out += '_';
      continue;
    }
    if (is_upper(c)) {
      if (i > 0 && !last_is_underscore()) {
        const char32_t prev = cps[i - 1];
        const bool next_lower = i + 1 < cps.size() && is_lower(cps[i + 1]);
        if (is_lower(prev) || is_digit(prev) || (is_upper(prev) && next_lower)) out += '_';
      }
      if (ascii(c)) {
        out += static_cast<char>(c - 'A' + 'a');
      } else {
        append_utf8(out, c);
      }
      continue;
    }
    append_utf8(out, c);
  }
  while (!out.empty() && out.back() == '_') out.pop_back();
  return out;
}

}  // namespace vorpel::constrained

// UTF-8 decoding and property lookups over the generated range tables.
#include "vorpel/chat/unicode.hpp"

#include <algorithm>
#include <span>

#include "unicode_tables.hpp"

namespace vorpel::chat {
namespace {

bool in_ranges(std::span<const detail::CodeRange> ranges, char32_t cp) {
  auto it = std::upper_bound(ranges.begin(), ranges.end(), static_cast<uint32_t>(cp),
                             [](uint32_t v, const detail::CodeRange& r) { return v < r.lo; });
  return it != ranges.begin() && cp <= std::prev(it)->hi;
}

}  // namespace

Decoded decode_utf8(std::string_view s, size_t pos) {
  const auto b0 = static_cast<uint8_t>(s[pos]);
  if (b0 < 0x80) return {b0, 1};
  size_t need;
  char32_t cp;
  // Allowed range of the second byte narrows for E0, ED, F0 and F4 so that
  // overlong forms, surrogates and values past U+10FFFF are rejected early.
  uint8_t lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {kReplacement, 1};
  }
  size_t i = 1;
  for (; i <= need; ++i) {
    if (pos + i >= s.size()) return {kReplacement, i};
    const auto b = static_cast<uint8_t>(s[pos + i]);
    if (b < lo || b > hi) return {kReplacement, i};
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
  }
  return {cp, i};
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string utf8_lossy(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t pos = 0; pos < s.size();) {
    const Decoded d = decode_utf8(s, pos);
    append_utf8(out, d.cp);  // a valid sequence re-encodes to the same bytes
    pos += d.len;
  }
  return out;
}

bool is_alphabetic(char32_t cp) { return in_ranges(detail::alphabetic_ranges, cp); }
bool is_numeric(char32_t cp) { return in_ranges(detail::numeric_ranges, cp); }
bool is_uppercase(char32_t cp) { return in_ranges(detail::uppercase_ranges, cp); }
bool is_lowercase(char32_t cp) { return in_ranges(detail::lowercase_ranges, cp); }
bool is_white_space(char32_t cp) { return in_ranges(detail::white_space_ranges, cp); }

}  // namespace vorpel::chat

// UTF-8 decoding and property lookups over the generated range tables.
#include "vorpel/chat/unicode.hpp"

#include <algorithm>
#include <span>

#include "unicode_tables.hpp"
#include "vorpel/text/utf8.hpp"

namespace vorpel::chat {
namespace {

bool in_ranges(std::span<const detail::CodeRange> ranges, char32_t cp) {
  auto it = std::upper_bound(ranges.begin(), ranges.end(), static_cast<uint32_t>(cp),
                             [](uint32_t v, const detail::CodeRange& r) { return v < r.lo; });
  return it != ranges.begin() && cp <= std::prev(it)->hi;
}

}  // namespace

Decoded decode_utf8(std::string_view s, size_t pos) {
  const text::Utf8Scan sc = text::scan_utf8(s, pos);
  return {sc.kind == text::Utf8::Complete ? sc.cp : kReplacement, sc.len};
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
  text::append_utf8_lossy(out, s);
  return out;
}

bool is_alphabetic(char32_t cp) { return in_ranges(detail::alphabetic_ranges, cp); }
bool is_numeric(char32_t cp) { return in_ranges(detail::numeric_ranges, cp); }
bool is_uppercase(char32_t cp) { return in_ranges(detail::uppercase_ranges, cp); }
bool is_lowercase(char32_t cp) { return in_ranges(detail::lowercase_ranges, cp); }
bool is_white_space(char32_t cp) { return in_ranges(detail::white_space_ranges, cp); }

}  // namespace vorpel::chat

// UTF-8 decoding with replacement and the few Unicode character properties the
// text layer needs (letters, digits, case, whitespace).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vorpel::chat {

inline constexpr char32_t kReplacement = 0xFFFD;

struct Decoded {
  char32_t cp;  // kReplacement for an invalid sequence
  size_t len;   // bytes consumed, >= 1 while pos < s.size()
};

// Decodes the scalar value at s[pos] (pos < s.size()). An invalid sequence
// yields U+FFFD and consumes its maximal valid prefix (at least one byte), so
// every maximal ill-formed subpart becomes one replacement character.
Decoded decode_utf8(std::string_view s, size_t pos);

void append_utf8(std::string& out, char32_t cp);

// s with every ill-formed subpart replaced by U+FFFD.
std::string utf8_lossy(std::string_view s);

bool is_alphabetic(char32_t cp);
bool is_numeric(char32_t cp);  // general category N (Nd, Nl, No)
bool is_uppercase(char32_t cp);
bool is_lowercase(char32_t cp);
bool is_white_space(char32_t cp);

}  // namespace vorpel::chat

// Strict UTF-8 scanning (no overlong forms, surrogates or values past
// U+10FFFF) shared by the tokenizer, the text layer and the streaming
// decoder. Nothing here reads past the end of the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorpel::text {

// U+FFFD encoded.
inline constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

enum class Utf8 : uint8_t {
  Complete,    // len bytes are one well-formed scalar
  Incomplete,  // len bytes run to the end of the input and could still be finished
  Invalid,     // len bytes are a maximal ill-formed subpart
};

struct Utf8Scan {
  Utf8 kind;
  size_t len;   // >= 1
  char32_t cp;  // the scalar when Complete, else 0
};

// Scans the sequence starting at s[i] (i < s.size()).
constexpr Utf8Scan scan_utf8(std::string_view s, size_t i) {
  const auto b0 = static_cast<uint8_t>(s[i]);
  if (b0 < 0x80) return {Utf8::Complete, 1, b0};
  size_t need;
  char32_t cp;
  // The second byte's range narrows after E0, ED, F0 and F4 so that overlong
  // forms, surrogates and values past U+10FFFF fail at the earliest byte.
  uint8_t lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {Utf8::Invalid, 1, 0};
  }
  for (size_t k = 1; k < need; ++k) {
    if (i + k >= s.size()) return {Utf8::Incomplete, k, 0};
    const auto b = static_cast<uint8_t>(s[i + k]);
    if (b < lo || b > hi) return {Utf8::Invalid, k, 0};
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
  }
  return {Utf8::Complete, need, cp};
}

constexpr bool is_valid_utf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const Utf8Scan sc = scan_utf8(s, i);
    if (sc.kind != Utf8::Complete) return false;
    i += sc.len;
  }
  return true;
}

// Appends s to out with every maximal ill-formed subpart, an unfinished one
// at the end included, replaced by U+FFFD.
inline void append_utf8_lossy(std::string& out, std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const Utf8Scan sc = scan_utf8(s, i);
    if (sc.kind == Utf8::Complete) {
      out.append(s.data() + i, sc.len);
    } else {
      out += kReplacementUtf8;
    }
    i += sc.len;
  }
}

}  // namespace vorpel::text

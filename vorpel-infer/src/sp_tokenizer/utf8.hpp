// UTF-8 scanning shared by the piece tokenizer: strict validation (no
// overlongs, surrogates or values past U+10FFFF) and the length of the
// well-formed prefix at a position, which never reads past the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vorpel::sp::utf8 {

struct Step {
  size_t len;  // bytes consumed, >= 1
  bool valid;  // false: len bytes are a maximal ill-formed subpart
};

// At s[i] (i < s.size()): either one well-formed scalar, or the maximal
// prefix of one (at least one byte) that cannot be completed.
inline Step step(std::string_view s, size_t i) {
  const auto b = static_cast<uint8_t>(s[i]);
  if (b < 0x80) return {1, true};
  size_t need;
  uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    need = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    need = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    need = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return {1, false};
  }
  size_t k = 1;
  for (; k < need; ++k) {
    if (i + k >= s.size()) return {k, false};
    const auto c = static_cast<uint8_t>(s[i + k]);
    const uint8_t l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (c < l || c > h) return {k, false};
  }
  return {need, true};
}

// Length of the scalar at s[i], taking an ill-formed byte as a scalar of one byte.
inline size_t scalar_len(std::string_view s, size_t i) {
  const Step st = step(s, i);
  return st.valid ? st.len : 1;
}

inline bool is_valid(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const Step st = step(s, i);
    if (!st.valid) return false;
    i += st.len;
  }
  return true;
}

// Appends s to out with every maximal ill-formed subpart replaced by U+FFFD.
inline void append_lossy(std::string& out, std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const Step st = step(s, i);
    if (st.valid) {
      out.append(s.data() + i, st.len);
    } else {
      out += "\xEF\xBF\xBD";
    }
    i += st.len;
  }
}

}  // namespace vorpel::sp::utf8

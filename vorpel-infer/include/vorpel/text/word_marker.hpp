// The word-boundary marker of the piece vocabularies, U+2581, which stands
// for a space inside pieces.
#pragma once

#include <string>
#include <string_view>

namespace vorpel::text {

inline constexpr std::string_view kWordMarker = "\xE2\x96\x81";

// s with every marker turned into one space.
inline std::string marker_to_space(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    if (s.compare(i, kWordMarker.size(), kWordMarker) == 0) {
      out += ' ';
      i += kWordMarker.size();
    } else {
      out += s[i++];
    }
  }
  return out;
}

}  // namespace vorpel::text

// Streaming deltas and the quoted text form of stop-reason messages.
#include "vorpel/v2_engine/stream_delta.hpp"

#include <utility>

#include "vorpel/v2_engine/v2_engine.hpp"

namespace vorpel::v2 {

std::string_view stream_delta(std::string_view prev, std::string_view cur) {
  if (cur.starts_with(prev)) return cur.substr(prev.size());
  return cur;
}

std::string_view StreamDelta::next(std::string decoded) {
  prev_ = std::exchange(cur_, std::move(decoded));
  return stream_delta(prev_, cur_);
}

std::string quote_message(std::string_view message) {
  static const char* hex = "0123456789abcdef";
  std::string out;
  out.reserve(message.size() + 2);
  out += '"';
  for (unsigned char c : message) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          // Other control characters as \u{hh}; non-ASCII text stays UTF-8.
          out += "\\u{";
          if (c >= 0x10) out += hex[c >> 4];
          out += hex[c & 15];
          out += '}';
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

std::string StopReason::text() const {
  switch (kind) {
    case StopKind::Eos: return "Eos";
    case StopKind::ImEnd: return "ImEnd";
    case StopKind::MaxTokens: return "MaxTokens";
    case StopKind::ContextFull: return "ContextFull";
    case StopKind::Error: return "Error(" + quote_message(message) + ")";
  }
  return "Error(" + quote_message(message) + ")";
}

}  // namespace vorpel::v2

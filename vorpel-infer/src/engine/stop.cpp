// Stop-reason texts.
#include "vorpel/engine/stop.hpp"

namespace vorpel::engine {

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

std::string StopReason::text(const StopNames& names) const {
  if (kind == StopKind::Error) return "Error(" + quote_message(message) + ")";
  return std::string(names.names[static_cast<size_t>(kind)]);
}

}  // namespace vorpel::engine

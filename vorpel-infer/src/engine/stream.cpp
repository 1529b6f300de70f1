// Streaming deltas and the quoted text form of stop-reason messages.
#include "vorpel/v2_engine/stream_delta.hpp"

#include <utility>

#include "vorpel/text/utf8.hpp"
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

namespace {

using text::kReplacementUtf8;
using text::scan_utf8;
using text::Utf8;
constexpr std::string_view kWordMarker = "\xE2\x96\x81";

}  // namespace

void StreamDecoder::commit_char(std::string_view ch) {
  const bool space = ch == " " || ch == kWordMarker;
  if (at_start_) {
    at_start_ = false;
    if (space && tok_.add_dummy_prefix()) return;  // the one leading space is dropped
  }
  if (space) committed_ += ' ';
  else committed_.append(ch);
}

void StreamDecoder::feed(std::string_view raw) {
  if (raw.empty()) return;
  std::string buf = std::move(pending_);
  buf.append(raw);
  pending_.clear();
  std::string_view s = buf;
  size_t i = 0;
  while (i < s.size()) {
    const auto sc = scan_utf8(s, i);
    switch (sc.kind) {
      case Utf8::Complete: commit_char(s.substr(i, sc.len)); break;
      case Utf8::Invalid: commit_char(kReplacementUtf8); break;
      case Utf8::Incomplete: pending_.assign(s.substr(i)); return;
    }
    i += sc.len;
  }
}

std::string_view StreamDecoder::push(uint32_t id) {
  const size_t prev_len = committed_.size();
  const bool prev_tail = !pending_.empty();
  if (id < tok_.piece_count()) {
    const uint8_t kind = tok_.piece_kind(id);
    if (kind == sp::kKindByte) feed(tok_.piece_bytes()[id]);
    else if (kind != sp::kKindControl && kind != sp::kKindUnknown) feed(tok_.piece_text(id));
  }
  // D(n-1) = committed[..prev_len] + tail, and committed only grows, so the
  // prefix test reduces to the new part starting with the old tail.
  delta_.assign(committed_, prev_len);
  if (!pending_.empty()) delta_.append(kReplacementUtf8);
  if (!prev_tail) return delta_;
  if (std::string_view(delta_).starts_with(kReplacementUtf8)) {
    delta_.erase(0, kReplacementUtf8.size());
    return delta_;
  }
  delta_ = text();
  return delta_;
}

std::string StreamDecoder::text() const {
  std::string t = committed_;
  if (!pending_.empty()) t.append(kReplacementUtf8);
  return t;
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

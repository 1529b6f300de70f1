// Streaming deltas and held-back tail streaming.
#include "vorpel/engine/stream.hpp"

#include <utility>

#include "vorpel/text/utf8.hpp"
#include "vorpel/text/word_marker.hpp"

namespace vorpel::engine {

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
using text::kWordMarker;

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

std::string_view TailStream::push(uint32_t id) {
  dec_.push(id);
  const std::string& done = dec_.committed();
  const std::string_view piece = std::string_view(done).substr(delivered_);
  delivered_ = done.size();
  return piece;
}

std::string_view TailStream::finish() {
  tail_ = dec_.text().substr(delivered_);
  delivered_ += tail_.size();
  return tail_;
}

}  // namespace vorpel::engine

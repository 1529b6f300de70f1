// Marker-pair extraction of tool calls and reasoning from completions.
#include "vorpel/chat/extract.hpp"

#include "vorpel/chat/prompt.hpp"
#include "vorpel/chat/unicode.hpp"

namespace vorpel::chat {

std::optional<std::string> extract_between(std::string_view text, std::string_view open, std::string_view close) {
  const size_t at = text.find(open);
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view rest = text.substr(at + open.size());
  const size_t end = rest.find(close);
  return std::string(end == std::string_view::npos ? rest : rest.substr(0, end));
}

std::optional<std::string> extract_tool_call(std::string_view text) {
  return extract_between(text, kToolCallOpen, kToolCallClose);
}

std::optional<std::string> extract_thinking(std::string_view text) {
  return extract_between(text, kThinkOpen, kThinkClose);
}

std::optional<std::string> extract_tool_call_trimmed(std::string_view text) {
  auto r = extract_tool_call(text);
  if (r) *r = std::string(trim_unicode_whitespace(*r));
  return r;
}

std::optional<std::string> extract_reasoning_trimmed(std::string_view text) {
  auto r = extract_thinking(text);
  if (r) *r = std::string(trim_unicode_whitespace(*r));
  return r;
}

std::string_view trim_unicode_whitespace(std::string_view s) {
  size_t begin = 0;
  while (begin < s.size()) {
    const Decoded d = decode_utf8(s, begin);
    if (d.cp == kReplacement || !is_white_space(d.cp)) break;
    begin += d.len;
  }
  s.remove_prefix(begin);
  // From the back: step to the start of the last scalar value (at most four
  // bytes back, skipping continuation bytes) and test it.
  size_t end = s.size();
  while (end > 0) {
    size_t start = end - 1;
    while (start > 0 && end - start < 4 && (static_cast<uint8_t>(s[start]) & 0xC0) == 0x80) --start;
    const Decoded d = decode_utf8(s, start);
    if (start + d.len != end || d.cp == kReplacement || !is_white_space(d.cp)) break;
    end = start;
  }
  return s.substr(0, end);
}

}  // namespace vorpel::chat

// Cutting the tool-call payload and the reasoning text out of a completion:
// the text between the first opening marker and the closing marker after it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vorpel::chat {

// Text after the first `open` up to the first `close` after it (to the end of
// `text` when `close` is missing); nullopt when `open` does not occur. Not
// trimmed or unescaped. Byte-exact search.
std::optional<std::string> extract_between(std::string_view text, std::string_view open, std::string_view close);

// "<tool_call>" .. "</tool_call>", untrimmed (second generation).
std::optional<std::string> extract_tool_call(std::string_view text);
// "<think>" .. "</think>", untrimmed (second generation's "thinking").
std::optional<std::string> extract_thinking(std::string_view text);

// Third generation: the same extractions with Unicode White_Space trimmed from
// both ends of the result ("[]" stays "[]").
std::optional<std::string> extract_tool_call_trimmed(std::string_view text);
std::optional<std::string> extract_reasoning_trimmed(std::string_view text);

// Removes Unicode White_Space characters from both ends of UTF-8 text. Bytes
// that do not decode as UTF-8 are not whitespace and stop the trim.
std::string_view trim_unicode_whitespace(std::string_view s);

}  // namespace vorpel::chat

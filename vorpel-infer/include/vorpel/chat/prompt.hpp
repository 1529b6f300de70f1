// The chat layout every text operation feeds the model: the compacted tools
// JSON and the query in the user turn, an optional system turn, and the
// assistant header; plus the cut of the encoded prompt to the context.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorpel::sp {
class Tokenizer;
}

namespace vorpel::chat {

inline constexpr std::string_view kImStart = "<|im_start|>";
inline constexpr std::string_view kImEnd = "<|im_end|>";
inline constexpr std::string_view kToolsOpen = "<tools>";
inline constexpr std::string_view kToolsClose = "</tools>";
inline constexpr std::string_view kToolCallOpen = "<tool_call>";
inline constexpr std::string_view kToolCallClose = "</tool_call>";
inline constexpr std::string_view kThinkOpen = "<think>";
inline constexpr std::string_view kThinkClose = "</think>";

// Drops tab, line feed, carriage return and space outside JSON string literals
// (escaped quotes do not end a literal); everything else is copied unchanged.
// The text is not parsed or validated.
std::string compact_tools(std::string_view tools_json);

// "<|im_start|>system\n{S}<|im_end|>\n" (only when `system` is given, even if
// empty), then "<|im_start|>user\n<tools>{T}</tools>\n{Q}<|im_end|>\n<|im_start|>assistant\n"
// with T = compact_tools(tools_json) and Q the query as given.
std::string build_prompt(std::string_view query, std::string_view tools_json,
                         std::optional<std::string_view> system);

// [bos] + encode(prompt), cut to its first max(max_seq_len - reserve, 1)
// tokens (the subtraction saturates at 0). What is lost is the prompt's end.
std::vector<uint32_t> encode_prompt(const sp::Tokenizer& tok, std::string_view prompt, uint64_t reserve,
                                    uint64_t max_seq_len);

// Same with a given first id instead of the tokenizer's bos (the third
// generation fixes it).
std::vector<uint32_t> encode_prompt_with_bos(const sp::Tokenizer& tok, std::string_view prompt, uint32_t bos,
                                             uint64_t reserve, uint64_t max_seq_len);

// Keeps the first max(max_seq_len - reserve, 1) ids of `ids` (saturating).
void cut_prompt(std::vector<uint32_t>& ids, uint64_t reserve, uint64_t max_seq_len);

// Ids of the special texts when each is one whole piece of the vocabulary
// (exact byte match); a text that is not a single piece has no id.
struct SpecialIds {
  std::optional<uint32_t> im_end, tool_call_open, tool_call_close;
};
SpecialIds lookup_special_ids(const sp::Tokenizer& tok);

}  // namespace vorpel::chat

// Chat prompt layout, tools compaction and the prompt cut.
#include "vorpel/chat/prompt.hpp"

#include <algorithm>

#include "vorpel/sp_tokenizer/sp_tokenizer.hpp"

namespace vorpel::chat {

std::string compact_tools(std::string_view tools_json) {
  std::string out;
  out.reserve(tools_json.size());
  bool in_string = false;
  bool escaped = false;
  // Byte-wise is the same as per scalar value: every byte tested is ASCII and
  // never occurs inside a multi-byte UTF-8 sequence.
  for (char c : tools_json) {
    if (in_string) {
      out += c;
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '\t' || c == '\n' || c == '\r' || c == ' ') continue;
    out += c;
    if (c == '"') in_string = true;
  }
  return out;
}

std::string build_prompt(std::string_view query, std::string_view tools_json,
                         std::optional<std::string_view> system) {
  const std::string tools = compact_tools(tools_json);
  std::string p;
  p.reserve(tools.size() + query.size() + (system ? system->size() : 0) + 128);
  if (system) {
    p += kImStart;
    p += "system\n";
    p += *system;
    p += kImEnd;
    p += '\n';
  }
  p += kImStart;
  p += "user\n";
  p += kToolsOpen;
  p += tools;
  p += kToolsClose;
  p += '\n';
  p += query;
  p += kImEnd;
  p += '\n';
  p += kImStart;
  p += "assistant\n";
  return p;
}

void cut_prompt(std::vector<uint32_t>& ids, uint64_t reserve, uint64_t max_seq_len) {
  const uint64_t room = max_seq_len > reserve ? max_seq_len - reserve : 0;
  const uint64_t keep = std::max<uint64_t>(room, 1);
  if (ids.size() > keep) ids.resize(keep);
}

std::vector<uint32_t> encode_prompt(const sp::Tokenizer& tok, std::string_view prompt, uint64_t reserve,
                                    uint64_t max_seq_len) {
  return encode_prompt_with_bos(tok, prompt, tok.bos_id(), reserve, max_seq_len);
}

std::vector<uint32_t> encode_prompt_with_bos(const sp::Tokenizer& tok, std::string_view prompt, uint32_t bos,
                                             uint64_t reserve, uint64_t max_seq_len) {
  std::vector<uint32_t> body = tok.encode(prompt);
  std::vector<uint32_t> ids;
  ids.reserve(body.size() + 1);
  ids.push_back(bos);
  ids.insert(ids.end(), body.begin(), body.end());
  cut_prompt(ids, reserve, max_seq_len);
  return ids;
}

SpecialIds lookup_special_ids(const sp::Tokenizer& tok) {
  return {tok.piece_id(kImEnd), tok.piece_id(kToolCallOpen), tok.piece_id(kToolCallClose)};
}

}  // namespace vorpel::chat

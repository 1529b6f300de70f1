// Loading a third-generation container, in full or as one rung of its ladder:
// header and geometry derivation, the ladder rule, the canon walk over the
// kept blocks, mHC and engram slices, probe heads and the embedded tokenizer.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "vorpel/chat/prompt.hpp"
#include "vorpel/engine/load_error.hpp"
#include "vorpel/sp_tokenizer/sp_tokenizer.hpp"
#include "vorpel/v3/model.hpp"

namespace vorpel::v3 {

struct V3Bundle {
  V3Model model;
  sp::Tokenizer tokenizer;
  chat::SpecialIds special;  // "<|im_end|>", "<tool_call>", "</tool_call>" when single pieces
};

// The ladder order of n blocks: [0, n-1], then repeatedly the midpoint of the
// widest gap (lowest start on ties) until every block is listed; only its
// first `limit` entries when fewer are wanted.
std::vector<uint64_t> ladder_order(uint64_t n, uint64_t limit = UINT64_MAX);
// The rung of `depth` blocks, ascending, or nothing when depth < 2 or > n.
std::optional<std::vector<uint64_t>> ladder_blocks(uint64_t n, uint64_t depth);

// depth: nothing (or the full block count) loads the whole model.
std::expected<V3Bundle, LoadError> load_v3(std::vector<uint8_t> bytes, std::optional<uint64_t> depth = std::nullopt);
std::expected<V3Bundle, LoadError> load_v3_file(const std::string& path, std::optional<uint64_t> depth = std::nullopt);

}  // namespace vorpel::v3

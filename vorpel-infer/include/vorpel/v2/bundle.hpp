// Loading a second-generation container into a validated model plus its
// optional embedded tokenizer.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "vorpel/engine/load_error.hpp"
#include "vorpel/sp_tokenizer/sp_tokenizer.hpp"
#include "vorpel/v2/model.hpp"

namespace vorpel::v2 {

struct V2Bundle {
  V2Model model;
  std::optional<sp::Tokenizer> tokenizer;
};

// The first failure (file, container, canon shape or dtype, head manifest,
// tokenizer blob, model validation) as a typed error; message() gives its text. A float entry whose
// declared shape matches but whose bytes hold a different number of values is
// rejected by the length checks of the model validation (or the head manifest),
// never read past its end; allocations are bounded by the container's size.
std::expected<V2Bundle, LoadError> load_v2_bundle(std::vector<uint8_t> bytes);
std::expected<V2Bundle, LoadError> load_v2_bundle_file(const std::string& path);

}  // namespace vorpel::v2

// Sorted, disjoint code point ranges of a few Unicode properties (generated).
#pragma once

#include <cstdint>
#include <span>

namespace vorpel::chat::detail {

struct CodeRange {
  uint32_t lo, hi;  // inclusive
};

extern const std::span<const CodeRange> alphabetic_ranges;
extern const std::span<const CodeRange> numeric_ranges;
extern const std::span<const CodeRange> uppercase_ranges;
extern const std::span<const CodeRange> lowercase_ranges;
extern const std::span<const CodeRange> white_space_ranges;

}  // namespace vorpel::chat::detail

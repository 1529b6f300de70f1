// Load errors of the third-generation canon: geometry derivation, ladder,
// canon walk, probe heads and tokenizer; message() renders the exact text.
#pragma once

#include <cstdint>
#include <string>

namespace vorpel::v3 {

struct V3Error {
  enum class Kind : uint8_t {
    NoEngramOrders,         // "container declares no engram orders"
    TablesNotMultiple,      // a = num_tables, b = order_count
    SubDimDisagrees,        // a = header sub_dim, b = d_model / num_tables
    HeadsDoNotDivide,       // a = num_heads, b = num_kv_heads
    HeaderField,            // label = field, what = requirement ("must be even", ...)
    DepthOutsideLadder,     // "depth is outside the ladder"
    CanonTooShort,          // a = tensors the canon needs, b = directory length
    FloatLength,            // a = index, label = canon name, b = values held, c = values the geometry needs
    MhcLaneRow,             // "mHC lane row out of range"
    MhcWidth,               // a = index, label = name, b = columns found, c = lanes * d_model
    PermutationEntry,       // a = index, label = name, b = position, c = value, d = hada_n
    RouterShape,            // a = index, b = values held, c = d_model
    HeadTensorsRanOut,      // "head tensors ran out"
    ProbeShapes,            // "probe head shapes disagree with num_layers + 1 cells"
    ProbeHeadTensor,        // a = index, label = what is wrong
    NoTokenizer,            // "container carries no tokenizer"
    TokenizerDidNotDecode,  // "embedded tokenizer did not decode"
  };
  Kind kind;
  uint64_t a = 0, b = 0, c = 0, d = 0;
  std::string label = {};
  std::string what = {};
};

std::string message(const V3Error& e);

}  // namespace vorpel::v3

// Load errors of the first-generation model: configuration checks, the
// embedding, and the size checks of each weight before it is used;
// message() renders the exact text.
#pragma once

#include <cstdint>
#include <string>

namespace vorpel::v1 {

struct V1Error {
  enum class Kind : uint8_t {
    NumHeadsZero,        // "num_heads must be > 0"
    NumKvHeadsZero,      // "num_kv_heads must be > 0"
    DModelZero,          // "d_model must be > 0"
    DModelNotDivisible,  // "d_model must be divisible by num_heads"
    HeadsNotDivisible,   // "num_heads must be divisible by num_kv_heads"
    VocabZero,           // "vocab_size must be > 0"
    FfnDimZero,          // ffn_dim 0 while the feed-forward blocks are enabled
    MissingEmbedding,    // "missing embedding tensor"
    EmbeddingOverflow,   // vocab_size x d_model does not fit in 64 bits: a = vocab_size, b = d_model
    EmbeddingSize,       // a = values held, b = vocab_size x d_model
    WeightMemory,        // a = bytes the weights need in memory, b = the limit for this file
    PackedSize,          // label = tensor, a = bytes held, b = bytes needed, c = in, d = out
    ScaleGroups,         // label = tensor, a = groups per column held, b = groups needed, c = in
    LinearSize,          // label = tensor, a = values held, b = in x out, c = in, d = out
    NormSize,            // label = tensor, a = values held, b = values needed
    EmptyGate,           // label = tensor
  };
  Kind kind;
  uint64_t a = 0, b = 0, c = 0, d = 0;
  std::string label = {};
};

std::string message(const V1Error& e);

}  // namespace vorpel::v1

// Texts of the first-generation load errors.
#include "vorpel/v1/errors.hpp"

namespace vorpel::v1 {

std::string message(const V1Error& e) {
  using K = V1Error::Kind;
  auto n = [](uint64_t v) { return std::to_string(v); };
  switch (e.kind) {
    case K::NumHeadsZero: return "num_heads must be > 0";
    case K::NumKvHeadsZero: return "num_kv_heads must be > 0";
    case K::DModelZero: return "d_model must be > 0";
    case K::DModelNotDivisible: return "d_model must be divisible by num_heads";
    case K::HeadsNotDivisible: return "num_heads must be divisible by num_kv_heads";
    case K::VocabZero: return "vocab_size must be > 0";
    case K::FfnDimZero: return "ffn_dim must be > 0 when the feed-forward blocks are enabled";
    case K::MissingEmbedding: return "missing embedding tensor";
    case K::EmbeddingOverflow:
      return "embedding size mismatch: vocab_size " + n(e.a) + " x d_model " + n(e.b) + " does not fit in 64 bits";
    case K::EmbeddingSize: return "embedding size mismatch: got " + n(e.a) + ", expected " + n(e.b);
    case K::WeightMemory:
      return "the configuration needs " + (e.a == UINT64_MAX ? std::string("more than 2^64") : n(e.a)) +
             " bytes of weights in memory, more than the " + n(e.b) + " allowed for this file";
    case K::PackedSize:
      return "pre-quantised " + e.label + " holds " + n(e.a) + " bytes, expected " + n(e.b) + " for " + n(e.c) +
             " x " + n(e.d);
    case K::ScaleGroups:
      return e.label + ".scale has " + n(e.a) + " groups per column, expected " + n(e.b) + " for " + n(e.c) +
             " rows";
    case K::LinearSize:
      return e.label + " holds " + n(e.a) + " values, expected " + n(e.b) + " (" + n(e.c) + " x " + n(e.d) + ")";
    case K::NormSize: return e.label + " holds " + n(e.a) + " values, expected " + n(e.b);
    case K::EmptyGate: return "gate " + e.label + " holds no value";
  }
  return "first-generation model is malformed";
}

}  // namespace vorpel::v1

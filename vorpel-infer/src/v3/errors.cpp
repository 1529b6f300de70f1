// Texts of the third-generation load errors.
#include "vorpel/v3/errors.hpp"

namespace vorpel::v3 {

std::string message(const V3Error& e) {
  using K = V3Error::Kind;
  auto n = [](uint64_t v) { return std::to_string(v); };
  switch (e.kind) {
    case K::NoEngramOrders: return "container declares no engram orders";
    case K::TablesNotMultiple:
      return "engram tables " + n(e.a) + " is not a multiple of " + n(e.b) +
             " orders, so the per-order head count is undefined";
    case K::SubDimDisagrees:
      return "engram sub_dim " + n(e.a) + " disagrees with d_model / (orders * heads) = " + n(e.b);
    case K::HeadsDoNotDivide: return n(e.a) + " query heads do not divide into " + n(e.b) + " kv heads";
    case K::HeaderField: return "header field " + e.label + " " + e.what;
    case K::DepthOutsideLadder: return "depth is outside the ladder";
    case K::CanonTooShort: return "canon needs at least " + n(e.a) + " tensors, directory has " + n(e.b);
    case K::FloatLength:
      return "tensor " + n(e.a) + " (" + e.label + ") holds " + n(e.b) + " values, the geometry needs " + n(e.c);
    case K::MhcLaneRow: return "mHC lane row out of range";
    case K::MhcWidth:
      return "tensor " + n(e.a) + " (" + e.label + ") has " + n(e.b) + " columns, the lanes need " + n(e.c);
    case K::PermutationEntry:
      return "tensor " + n(e.a) + " (" + e.label + ") maps position " + n(e.b) + " to " + n(e.c) +
             ", outside hada_n " + n(e.d);
    case K::RouterShape:
      return "tensor " + n(e.a) + " (router) holds " + n(e.b) + " values, not a multiple of d_model " + n(e.c);
    case K::HeadTensorsRanOut: return "head tensors ran out";
    case K::ProbeShapes: return "probe head shapes disagree with num_layers + 1 cells";
    case K::ProbeHeadTensor: return "tensor " + n(e.a) + ": probe head " + e.label;
    case K::NoTokenizer: return "container carries no tokenizer";
    case K::TokenizerDidNotDecode: return "embedded tokenizer did not decode";
  }
  return "third-generation container is malformed";
}

}  // namespace vorpel::v3

// Third-generation model: geometry helpers, the construction checks, the
// derived tables and the cache size formula.
#include "vorpel/v3/model.hpp"

#include <algorithm>
#include <bit>

namespace vorpel::v3 {

uint64_t V3Geometry::max_order() const {
  uint64_t m = 0;
  for (uint64_t o : orders) m = std::max(m, o);
  return m;
}

uint64_t V3Geometry::kron_p() const {
  // floor(log2(H)) for a power of two H is its bit width minus one.
  const uint64_t log2 = hada_n == 0 ? 0 : static_cast<uint64_t>(std::bit_width(hada_n) - 1);
  return uint64_t{1} << (log2 / 2);
}

const V3ProbeHead* V3Model::confidence_head() const {
  for (const V3ProbeHead& h : heads)
    if ((h.code == 2 || h.code == 3) && h.out_dim > 0) return &h;
  return nullptr;
}

std::string message(ConstructionError e) {
  switch (e) {
    case ConstructionError::LayerCount: return "layer count does not match geometry";
    case ConstructionError::EngramSiteCount: return "engram site count does not match geometry";
    case ConstructionError::EmbeddingShape: return "embedding shape does not match geometry";
  }
  return "model does not match its geometry";
}

std::expected<void, ConstructionError> finish_model(V3Model& m) {
  const V3Geometry& g = m.geom;
  if (m.blocks.size() != g.num_layers) return std::unexpected(ConstructionError::LayerCount);
  if (m.engrams.size() != g.engram_sites.size()) return std::unexpected(ConstructionError::EngramSiteCount);
  if (m.embedding.rows() != g.vocab_size || m.embedding.cols() != g.d_model)
    return std::unexpected(ConstructionError::EmbeddingShape);
  m.rope = ops::RopeTable(g.head_dim, g.rope_theta, g.max_seq_len);
  return {};
}

std::optional<unsigned __int128> kv_bytes(const V3Geometry& g, const std::vector<V3Block>& blocks, uint64_t seq_len,
                                          bool int8) {
  using U = unsigned __int128;
  const U widths = U{g.head_dim} + g.value_dim;
  const U per_position = int8 ? U{g.num_kv_heads} * (widths + 8) : U{g.num_kv_heads} * widths * 4;
  const uint64_t w = g.window();
  const uint64_t local_positions = w != 0 ? std::min(w, seq_len) : seq_len;
  U positions = 0;
  for (const V3Block& b : blocks) {
    const U add = b.global ? seq_len : local_positions;
    if (positions > ~U{0} - add) return std::nullopt;
    positions += add;
  }
  if (per_position != 0 && positions > ~U{0} / per_position) return std::nullopt;
  return positions * per_position;
}

}  // namespace vorpel::v3

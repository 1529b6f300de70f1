// Model validation and the tables derived at load.
#include "vorpel/v2/model.hpp"

#include <bit>
#include <cmath>

#include "vorpel/core/checked.hpp"
#include "vorpel/core/panic.hpp"

namespace vorpel::v2 {

namespace {

uint64_t round_up_pow2(uint64_t n) { return n <= 1 ? 1 : std::bit_ceil(n); }

bool is_pow2(uint64_t n) { return n != 0 && (n & (n - 1)) == 0; }

std::unexpected<ModelError> fail(ModelError e) { return std::unexpected(e); }

}  // namespace

std::expected<void, ModelError> validate_model(V2Model& m) {
  const V2Geometry& g = m.geom;
  if (g.num_heads == 0 || g.num_kv_heads == 0) return fail(ModelError::HeadCounts);
  if (g.num_heads % g.num_kv_heads != 0) return fail(ModelError::HeadsNotDivisible);
  if (g.head_dim == 0 || g.head_dim % 2 != 0) return fail(ModelError::HeadDimOdd);
  if (g.d_model == 0 || g.num_layers == 0 || g.mhc_lanes == 0)
    return fail(ModelError::WidthsZero);
  if (g.hada_n < g.d_model || !is_pow2(g.hada_n)) return fail(ModelError::HadaN);
  if (g.vocab == 0 || g.max_seq_len == 0) return fail(ModelError::VocabOrContextZero);
  const uint64_t S = g.engram_sites.size();
  if (S > 0) {
    if (g.orders.empty() || g.table_rows == 0 || g.sub_dim == 0 || g.num_tables == 0)
      return fail(ModelError::EngramIncomplete);
    if (g.num_tables % g.orders.size() != 0) return fail(ModelError::TablesNotDivisible);
    for (uint64_t site : g.engram_sites)
      if (site >= g.num_layers) return fail(ModelError::EngramSiteBeyondLayers);
    if (g.num_tables * g.sub_dim != g.d_model) return fail(ModelError::EngramFetchedWidth);
  }
  if (m.layers.size() != g.num_layers) return fail(ModelError::LayerCount);
  if (m.engrams.size() != S) return fail(ModelError::EngramCount);
  if (m.final_norm.size() != g.d_model) return fail(ModelError::FinalNormWidth);
  if (g.hada_n != round_up_pow2(g.d_model)) return fail(ModelError::HadaNotRounded);
  if (m.embedding.rows() != g.vocab || m.embedding.cols() != g.d_model)
    return fail(ModelError::EmbeddingShape);
  const uint64_t L = g.mhc_lanes, NL = g.num_layers;
  const V2Mhc& x = m.mhc;
  if (x.a_pre.size() != NL || x.a_post.size() != NL || x.a_res.size() != NL)
    return fail(ModelError::MhcA);
  if (x.b_pre.size() != NL * L || x.b_post.size() != NL * L || x.b_res.size() != sat_mul(NL * L, L))
    return fail(ModelError::MhcB);
  if (x.phi_pre.rows() != NL * L || x.phi_post.rows() != NL * L || x.phi_res.rows() != sat_mul(NL * L, L))
    return fail(ModelError::MhcPhiRows);
  // All three read the same normalised lanes, so all three need that width.
  if (x.phi_pre.cols() != L * g.d_model || x.phi_post.cols() != L * g.d_model || x.phi_res.cols() != L * g.d_model)
    return fail(ModelError::MhcPhiWidth);
  for (const V2Layer& ly : m.layers) {
    if (ly.d1.size() != g.hada_n || ly.d2.size() != g.hada_n || ly.d3.size() != g.hada_n)
      return fail(ModelError::HadamardDiagonal);
    if (ly.q_norm.size() != g.head_dim || ly.k_norm.size() != g.head_dim)
      return fail(ModelError::QkNormWidth);
  }
  for (const V2Engram& e : m.engrams) {
    if (e.taps.size() != sat_mul(g.conv_taps, g.d_model)) return fail(ModelError::EngramTaps);
    if (e.tables.cols() != g.sub_dim) return fail(ModelError::EngramTableWidth);
  }
  // Beyond the checks above: vectors and matrices whose declared shape matched
  // but whose contents do not (short float entries, a hand-built model) must
  // never be read past their end. These come last so that every failure the
  // checks above describe is reported first.
  for (const V2Layer& ly : m.layers) {
    if (ly.norm_in.size() != g.d_model || ly.post_norm.size() != g.d_model || ly.pre_hada.size() != g.d_model)
      return fail(ModelError::NormWidths);
    if (ly.attn_gate.size() != 1) return fail(ModelError::AttnGate);
    auto is = [](const cq::CqTensor& t, uint64_t r, uint64_t c) { return t.rows() == r && t.cols() == c; };
    if (!is(ly.q_proj, g.q_dim(), g.d_model) || !is(ly.k_proj, g.kv_dim(), g.d_model) ||
        !is(ly.v_proj, g.kv_dim(), g.d_model) || !is(ly.gate_proj, g.q_dim(), g.d_model) ||
        !is(ly.out_proj, g.d_model, g.q_dim()))
      return fail(ModelError::ProjectionShape);
  }
  for (const V2Engram& e : m.engrams) {
    if (e.tables.rows() != g.num_tables * g.table_rows || e.key_proj.rows() != g.d_model ||
        e.key_proj.cols() != g.d_model || e.value_proj.rows() != g.d_model || e.value_proj.cols() != g.d_model)
      return fail(ModelError::EngramProjectionShape);
  }
  for (const V2Head& h : m.heads) {
    if (h.probes.size() != sat_mul(h.num_probes, g.d_model)) return fail(ModelError::HeadProbes);
    if (h.proj.size() != sat_mul(h.out_dim, sat_mul(h.num_probes, g.d_model)))
      return fail(ModelError::HeadProj);
    if (h.bias.size() != h.out_dim) return fail(ModelError::HeadBias);
  }

  m.rope = ops::RopeTable(g.head_dim, g.rope_theta, g.max_seq_len);
  m.embed_scale = std::sqrt(static_cast<float>(g.d_model));
  m.site_of_layer.assign(g.num_layers, -1);
  for (size_t s = S; s-- > 0;) m.site_of_layer[g.engram_sites[s]] = static_cast<int32_t>(s);
  return {};
}

}  // namespace vorpel::v2

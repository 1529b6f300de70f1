// Third-generation loader. Order of checks: container framing, geometry
// derivation (the header's own checks, then the sanity checks that keep
// later arithmetic and allocations safe), ladder, canon length, the canon walk
// over the kept blocks (shapes, encodings, float lengths), model-wide tensors
// gathered for the rung, engram sites, final norm, probe-head section,
// tokenizer, model construction checks. Tensors of dropped blocks and sites
// are never read. Every allocation is bounded by the container: float vectors
// hold what their bytes hold and are compared with the geometry before use,
// and CQ tensors are decoded from shapes the directory has checked.
#include "vorpel/v3/loader.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <queue>
#include <utility>

#include "vorpel/core/checked.hpp"
#include "vorpel/cq/cq_kernels.hpp"
#include "vorpel/io/read_file.hpp"
#include "vorpel/trov/header_layout.hpp"
#include "vorpel/trov/trov_image.hpp"

namespace vorpel::v3 {

namespace {

using trov::TrovError;
using trov::TrovImage;
using trov::v3_offset;
using K = V3Error::Kind;

// Tensors of one block group, and the model-wide ones after the blocks.
constexpr uint64_t kBlockTensors = 24, kConvTensors = 3, kModelWide = 11, kEngramTensors = 4;

std::unexpected<LoadError> fail(V3Error e) { return std::unexpected<LoadError>(std::move(e)); }
std::unexpected<LoadError> fail(K kind, uint64_t a = 0, uint64_t b = 0) { return fail(V3Error{kind, a, b}); }
std::unexpected<LoadError> fail(const TrovError& e) { return std::unexpected<LoadError>(e); }
std::unexpected<LoadError> header_field(std::string name, std::string what) {
  return fail(V3Error{K::HeaderField, 0, 0, 0, 0, std::move(name), std::move(what)});
}

bool is_pow2(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The geometry of the full model, with every check that needs only the header.
std::expected<V3Geometry, LoadError> derive_geometry(const TrovImage& img) {
  V3Geometry g;
  auto u32 = [&](std::string_view name) -> uint64_t { return img.header_u32(trov::field_offset(trov::kV3Header, name)); };
  g.kept_12 = img.header_u32(v3_offset("kept_12"));
  g.kept_16 = img.header_u32(v3_offset("kept_16"));
  g.vocab_size = u32("vocab_size");
  g.logit_rows = u32("logit_rows");
  g.d_model = u32("d_model");
  g.num_heads = u32("num_heads");
  g.num_kv_heads = u32("num_kv_heads");
  g.full_layers = g.num_layers = u32("num_layers");
  g.head_dim = u32("head_dim");
  g.value_dim = u32("value_dim");
  g.max_seq_len = u32("max_seq_len");
  g.hada_n = u32("hada_n");
  g.mhc_lanes = u32("mhc_lanes");
  g.kv_window = u32("kv_window");
  g.global_layer_mask = img.header_u64(v3_offset("global_layer_mask"));
  g.qkv_conv_taps = u32("qkv_conv_taps");
  g.table_rows = u32("table_rows");
  g.sub_dim = u32("sub_dim");
  g.num_tables = u32("num_tables");
  g.conv_taps = u32("conv_taps");
  g.tap_stride = u32("tap_stride");
  g.engram_seed_stride = u32("engram_seed_stride");
  g.rope_theta = img.header_f32(v3_offset("rope_theta"));
  for (uint32_t o : img.first_list()) g.orders.push_back(o);
  for (uint32_t s : img.second_list()) g.engram_sites.push_back(s);

  // The header's own derivation checks, in order.
  if (g.orders.empty()) return fail(K::NoEngramOrders);
  if (g.num_tables % g.orders.size() != 0) return fail(K::TablesNotMultiple, g.num_tables, g.orders.size());
  // Zero tables would divide by zero below.
  if (g.num_tables == 0) return fail(TrovError::bad_geometry("num_tables"));
  if (g.d_model / g.num_tables != g.sub_dim) return fail(K::SubDimDisagrees, g.sub_dim, g.d_model / g.num_tables);
  if (g.num_kv_heads == 0 || g.num_heads % g.num_kv_heads != 0)
    return fail(K::HeadsDoNotDivide, g.num_heads, g.num_kv_heads);
  g.tables_per_order = g.num_tables / g.orders.size();

  // Sanity of the remaining words, in header order: everything later code
  // divides by, loops over or sizes buffers with.
  if (g.vocab_size == 0) return fail(TrovError::bad_geometry("vocab_size"));
  if (g.logit_rows > g.vocab_size) return header_field("logit_rows", "must not exceed vocab_size");
  const std::pair<const char*, uint64_t> non_zero[] = {
      {"d_model", g.d_model},       {"num_heads", g.num_heads},     {"num_layers", g.num_layers},
      {"head_dim", g.head_dim},     {"value_dim", g.value_dim},     {"max_seq_len", g.max_seq_len},
      {"mhc_lanes", g.mhc_lanes},
  };
  for (const auto& [name, v] : non_zero)
    if (v == 0) return fail(TrovError::bad_geometry(name));
  if (g.head_dim % 2 != 0) return header_field("head_dim", "must be even (rotary positions rotate half-splits)");
  if (g.hada_n < g.d_model || !is_pow2(g.hada_n)) return header_field("hada_n", "must be a power of two at or above d_model");
  if (!g.engram_sites.empty()) {
    if (g.table_rows == 0) return fail(TrovError::bad_geometry("table_rows"));
    if (g.conv_taps == 0) return fail(TrovError::bad_geometry("conv_taps"));
    for (uint64_t s : g.engram_sites)
      if (s >= g.num_layers) return header_field("engram_sites", "must name blocks below num_layers");
  }
  if (g.logit_rows == 0) g.logit_rows = g.vocab_size;
  return g;
}

// Reads the canon by position for one geometry.
class Canon {
 public:
  explicit Canon(const TrovImage& img) : img_(img) {}

  std::expected<cq::CqTensor, LoadError> cq(size_t i, std::string_view name, uint64_t rows, uint64_t cols) const {
    if (auto ok = img_.check_shape(i, name, {rows, cols}); !ok) return fail(ok.error());
    auto t = img_.cq_tensor(i);
    if (!t) return fail(t.error());
    return std::move(*t);
  }

  std::expected<cq::CqTensor, LoadError> cq_any(size_t i) const {
    auto t = img_.cq_tensor(i);
    if (!t) return fail(t.error());
    return std::move(*t);
  }

  std::expected<std::vector<float>, LoadError> floats_any(size_t i) const {
    auto v = img_.floats(i);
    if (!v) return fail(v.error());
    return std::move(*v);
  }

  // A float tensor that must hold exactly `want` values (or at most, when `at_most`).
  std::expected<std::vector<float>, LoadError> floats(size_t i, std::string_view name, uint64_t want,
                                                      bool at_most = false) const {
    auto v = floats_any(i);
    if (!v) return v;
    if (at_most ? v->size() > want : v->size() != want)
      return fail(V3Error{K::FloatLength, i, v->size(), want, 0, std::string(name)});
    return v;
  }

 private:
  const TrovImage& img_;
};

#define V3_TRY(dst, expr)                                  \
  do {                                                     \
    auto v3_try_ = (expr);                                 \
    if (!v3_try_) return std::unexpected(v3_try_.error()); \
    dst = std::move(*v3_try_);                             \
  } while (0)

// Float permutation values as indices: truncated toward zero, negative and
// NaN values 0, values past the 32-bit range saturated; every index must
// fall inside hada_n.
std::expected<std::vector<uint32_t>, LoadError> permutation(const std::vector<float>& v, size_t index,
                                                            std::string_view name, uint64_t hada_n) {
  if (v.size() > hada_n) return fail(V3Error{K::FloatLength, index, v.size(), hada_n, 0, std::string(name)});
  std::vector<uint32_t> out(v.size());
  for (size_t i = 0; i < v.size(); ++i) {
    const float x = v[i];
    const uint32_t idx = !(x > 0.0f) ? 0u : x >= 4294967295.0f ? 4294967295u : static_cast<uint32_t>(x);
    if (idx >= hada_n) return fail(V3Error{K::PermutationEntry, index, i, idx, hada_n, std::string(name)});
    out[i] = idx;
  }
  return out;
}

uint8_t head_code(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 255.0f) return 255;
  return static_cast<uint8_t>(v);
}

std::unexpected<LoadError> probe_tensor(size_t index, std::string what) {
  return fail(V3Error{K::ProbeHeadTensor, index, 0, 0, 0, std::move(what)});
}

// One block group at position `at` of the canon.
std::expected<V3Block, LoadError> read_block(const Canon& c, const V3Geometry& g, size_t at) {
  V3Block b;
  const uint64_t D = g.d_model, H = g.hada_n, P = g.kron_p(), Q = g.kron_q(), T = g.qkv_conv_taps;
  size_t i = at;
  V3_TRY(b.norm_in, c.floats(i++, "norm_in", D));
  V3_TRY(b.q_proj, c.cq(i++, "q_proj", g.q_dim(), D));
  V3_TRY(b.k_proj, c.cq(i++, "k_proj", g.k_dim(), D));
  V3_TRY(b.v_proj, c.cq(i++, "v_proj", g.v_dim(), D));
  if (T != 0) {
    V3_TRY(b.q_conv, c.floats(i++, "q_conv", sat_mul(T, g.q_dim())));
    V3_TRY(b.k_conv, c.floats(i++, "k_conv", sat_mul(T, g.k_dim())));
    V3_TRY(b.v_conv, c.floats(i++, "v_conv", sat_mul(T, g.v_dim())));
  }
  V3_TRY(b.q_norm, c.floats(i++, "q_norm", g.head_dim));
  V3_TRY(b.k_norm, c.floats(i++, "k_norm", g.head_dim));
  V3_TRY(b.gate_proj, c.cq(i++, "gate_proj", g.o_dim(), D));
  V3_TRY(b.out_proj, c.cq(i++, "out_proj", D, g.o_dim()));
  V3_TRY(b.post_norm, c.floats(i++, "post_norm", D));
  std::vector<float> gate;
  const size_t gate_at = i;
  V3_TRY(gate, c.floats_any(i++));
  if (gate.empty()) return fail(V3Error{K::FloatLength, gate_at, 0, 1, 0, "attn_gate"});
  b.attn_gate = gate[0];
  V3_TRY(b.ffn_norm, c.floats(i++, "ffn_norm", D));
  V3Ffn& f = b.ffn;
  V3_TRY(f.d1, c.floats(i++, "d1", H));
  V3_TRY(f.act_scale, c.floats(i++, "act_scale", H));
  V3_TRY(f.act_bias, c.floats(i++, "act_bias", H));
  V3_TRY(f.d2, c.floats(i++, "d2", H));
  V3_TRY(f.d3, c.floats(i++, "d3", H, /*at_most=*/true));
  V3_TRY(f.k1a, c.floats(i++, "k1_a", P * P));
  V3_TRY(f.k1b, c.floats(i++, "k1_b", Q * Q));
  V3_TRY(f.k2a, c.floats(i++, "k2_a", P * P));
  V3_TRY(f.k2b, c.floats(i++, "k2_b", Q * Q));
  V3_TRY(f.k3a, c.floats(i++, "k3_a", P * P));
  V3_TRY(f.k3b, c.floats(i++, "k3_b", Q * Q));
  const size_t router_at = i;
  V3_TRY(f.router, c.floats_any(i++));
  if (f.router.size() % D != 0) return fail(V3Error{K::RouterShape, router_at, f.router.size(), D});
  f.experts = f.router.size() / D;
  V3_TRY(f.components, c.floats(i++, "components", sat_mul(f.experts, H)));
  return b;
}

}  // namespace

std::vector<uint64_t> ladder_order(uint64_t n, uint64_t limit) {
  // The widest gap (lowest start on ties) comes from a heap of the gaps of at
  // least 2, so a prefix of the order costs O(limit log limit) whatever n is.
  const uint64_t want = std::min(n, limit);
  std::vector<uint64_t> order;
  if (want == 0) return order;
  order.push_back(0);
  if (want == 1 || n == 1) return order;
  order.push_back(n - 1);
  struct Gap {
    uint64_t a, b;
    bool operator<(const Gap& o) const { return b - a != o.b - o.a ? b - a < o.b - o.a : a > o.a; }
  };
  std::priority_queue<Gap> gaps;
  if (n - 1 >= 2) gaps.push({0, n - 1});
  while (order.size() < want && !gaps.empty()) {
    const Gap g = gaps.top();
    gaps.pop();
    const uint64_t mid = g.a + (g.b - g.a) / 2;
    order.push_back(mid);
    if (mid - g.a >= 2) gaps.push({g.a, mid});
    if (g.b - mid >= 2) gaps.push({mid, g.b});
  }
  return order;
}

std::optional<std::vector<uint64_t>> ladder_blocks(uint64_t n, uint64_t depth) {
  if (depth < 2 || depth > n) return std::nullopt;
  std::vector<uint64_t> order = ladder_order(n, depth);
  std::sort(order.begin(), order.end());
  return order;
}

std::expected<V3Bundle, LoadError> load_v3(std::vector<uint8_t> bytes, std::optional<uint64_t> depth) {
  auto parsed = TrovImage::parse_v3(std::move(bytes));
  if (!parsed) return fail(parsed.error());
  const TrovImage& img = *parsed;
  auto geom = derive_geometry(img);
  if (!geom) return std::unexpected(geom.error());
  V3Geometry g = std::move(*geom);
  const uint64_t N = g.full_layers, D = g.d_model, L = g.mhc_lanes, S = g.engram_sites.size();

  // The rung is judged before the canon length, but its block list is built
  // after it: num_layers is a bare header word until the directory bounds it.
  const bool full = !depth || *depth == N;
  if (!full && (*depth < 2 || *depth > N)) return fail(K::DepthOutsideLadder);

  // Canon positions. N and S are 32-bit header values, so the sums fit.
  const uint64_t group = kBlockTensors + (g.qkv_conv_taps != 0 ? kConvTensors : 0);
  const uint64_t wide_at = 1 + N * group, engram_at = wide_at + kModelWide, final_at = engram_at + kEngramTensors * S;
  const uint64_t canon = final_at + 1;
  if (img.tensor_count() < canon) return fail(K::CanonTooShort, canon, img.tensor_count());

  // The rung (all blocks for the full model).
  std::vector<uint64_t> kept;
  if (full) {
    kept.resize(N);
    for (uint64_t k = 0; k < N; ++k) kept[k] = k;
  } else {
    kept = *ladder_blocks(N, *depth);
  }
  auto rung_position = [&](uint64_t block) -> std::optional<uint64_t> {
    auto it = std::lower_bound(kept.begin(), kept.end(), block);
    if (it == kept.end() || *it != block) return std::nullopt;
    return static_cast<uint64_t>(it - kept.begin());
  };

  V3Model m;
  const Canon c(img);
  V3_TRY(m.embedding, c.cq(0, "embedding", g.vocab_size, D));

  for (uint64_t k : kept) {
    V3Block b;
    V3_TRY(b, read_block(c, g, 1 + k * group));
    b.global = k < 64 && ((g.global_layer_mask >> k) & 1u) != 0;
    m.blocks.push_back(std::move(b));
  }

  // Model-wide: mHC values and rows of the kept blocks, in rung order.
  size_t i = wide_at;
  std::vector<float> a_pre, a_post, a_res, b_pre, b_post, b_res;
  V3_TRY(a_pre, c.floats(i++, "mhc_a_pre", N));
  V3_TRY(a_post, c.floats(i++, "mhc_a_post", N));
  V3_TRY(a_res, c.floats(i++, "mhc_a_res", N));
  V3_TRY(b_pre, c.floats(i++, "mhc_b_pre", sat_mul(N, L)));
  V3_TRY(b_post, c.floats(i++, "mhc_b_post", sat_mul(N, L)));
  V3_TRY(b_res, c.floats(i++, "mhc_b_res", sat_mul(sat_mul(N, L), L)));
  V3Mhc& x = m.mhc;
  std::vector<uint64_t> rows_l, rows_ll;
  for (uint64_t k : kept) {
    x.a_pre.push_back(a_pre[k]);
    x.a_post.push_back(a_post[k]);
    x.a_res.push_back(a_res[k]);
    for (uint64_t l = 0; l < L; ++l) {
      x.b_pre.push_back(b_pre[k * L + l]);
      x.b_post.push_back(b_post[k * L + l]);
      rows_l.push_back(k * L + l);
    }
    for (uint64_t e = 0; e < L * L; ++e) {
      x.b_res.push_back(b_res[k * L * L + e]);
      rows_ll.push_back(k * L * L + e);
    }
  }
  const char* phi_names[] = {"mhc_phi_pre", "mhc_phi_post", "mhc_phi_res"};
  cq::CqTensor* phis[] = {&x.phi_pre, &x.phi_post, &x.phi_res};
  for (int p = 0; p < 3; ++p) {
    cq::CqTensor full;
    const size_t at = i++;
    V3_TRY(full, c.cq_any(at));
    if (full.cols() != L * D) return fail(V3Error{K::MhcWidth, at, full.cols(), L * D, 0, phi_names[p]});
    const std::vector<uint64_t>& rows = p == 2 ? rows_ll : rows_l;
    for (uint64_t r : rows)
      if (r >= full.rows()) return fail(K::MhcLaneRow);
    *phis[p] = cq::select_rows(full, rows);
  }
  std::vector<float> perm;
  V3_TRY(perm, c.floats_any(i));
  V3_TRY(m.perm1, permutation(perm, i, "perm1", g.hada_n));
  ++i;
  V3_TRY(perm, c.floats_any(i));
  V3_TRY(m.perm2, permutation(perm, i, "perm2", g.hada_n));

  // Engram sites on kept blocks, renumbered to rung positions.
  std::vector<uint64_t> sites;
  for (uint64_t s = 0; s < S; ++s) {
    const auto pos = rung_position(g.engram_sites[s]);
    if (!pos) continue;
    const size_t at = engram_at + kEngramTensors * s;
    V3Engram e;
    V3_TRY(e.tables, c.cq(at, "engram tables", sat_mul(g.num_tables, g.table_rows), g.sub_dim));
    V3_TRY(e.key_proj, c.cq(at + 1, "engram key_proj", D, g.fetched_dim()));
    V3_TRY(e.value_proj, c.cq(at + 2, "engram value_proj", D, g.fetched_dim()));
    V3_TRY(e.taps, c.floats(at + 3, "engram taps", sat_mul(g.conv_taps, D)));
    m.blocks[*pos].sites.push_back(static_cast<uint32_t>(m.engrams.size()));
    m.engrams.push_back(std::move(e));
    sites.push_back(*pos);
  }
  V3_TRY(m.final_norm, c.floats(final_at, "final_norm", D));

  // Probe-head section: after the final norm, up to the tokenizer blob.
  size_t tok_at = img.tensor_count();
  for (size_t t = 0; t < img.tensor_count(); ++t)
    if (img.entry(t).dtype == trov::kDtypeBytes) {
      tok_at = t;
      break;
    }
  const size_t head_at = final_at + 1, head_end = std::max(head_at, tok_at);
  if (head_at < head_end) {
    std::vector<float> codes_raw;
    V3_TRY(codes_raw, c.floats_any(head_at));
    std::vector<uint8_t> codes;
    for (float v : codes_raw) {
      const uint8_t code = head_code(v);
      if (code < 1 || code > 3) return fail(TrovError::unknown_head_code(code));
      codes.push_back(code);
    }
    const uint64_t full_cells = N + 1;
    std::vector<uint64_t> cells{0};
    for (uint64_t k : kept) cells.push_back(k + 1);
    size_t at = head_at + 1;
    for (uint8_t code : codes) {
      const size_t need = code == 3 ? 7 : 6;
      if (head_end - at < need) return fail(K::HeadTensorsRanOut);
      auto dense = [&](size_t t) -> std::expected<std::vector<float>, LoadError> {
        auto d = img.dense_cq(t);
        if (!d) return fail(d.error());
        return std::move(*d);
      };
      std::vector<float> probes, scales, queries, biases, proj, bias;
      V3_TRY(probes, dense(at));
      const trov::TensorEntry& pe = img.entry(at);
      if (pe.dims[1] != D) return probe_tensor(at, "probes are not d_model wide");
      const uint64_t M = pe.dims[0];
      V3_TRY(scales, c.floats_any(at + 1));
      if (M % full_cells != 0 || scales.size() != M) return fail(K::ProbeShapes);
      V3_TRY(queries, dense(at + 2));
      const trov::TensorEntry& qe = img.entry(at + 2);
      if (qe.dims[1] != D) return probe_tensor(at + 2, "read-out queries are not d_model wide");
      const uint64_t R = qe.dims[0];
      V3_TRY(biases, c.floats_any(at + 3));
      if (biases.size() != sat_mul(R, M)) return probe_tensor(at + 3, "read-out biases are not queries x items");
      V3_TRY(proj, dense(at + 4));
      const trov::TensorEntry& je = img.entry(at + 4);
      if (je.dims[1] != sat_mul(R, D)) return probe_tensor(at + 4, "projection is not read-outs x d_model wide");
      V3_TRY(bias, c.floats_any(at + 5));
      if (bias.size() > je.dims[0]) return probe_tensor(at + 5, "bias is longer than the projection's outputs");

      V3ProbeHead h;
      h.code = code;
      h.probes_per_cell = M / full_cells;
      h.cells = cells.size();
      h.readouts = R;
      h.out_dim = je.dims[0];
      h.queries = std::move(queries);
      h.proj = std::move(proj);
      h.bias = std::move(bias);
      // The rung keeps the cells of its blocks: their probe rows, item scales and bias columns.
      const uint64_t P = h.probes_per_cell;
      std::vector<uint64_t> items;
      for (uint64_t cell : cells)
        for (uint64_t p = 0; p < P; ++p) items.push_back(cell * P + p);
      for (uint64_t it : items) {
        h.probes.insert(h.probes.end(), probes.begin() + it * D, probes.begin() + (it + 1) * D);
        h.item_scales.push_back(scales[it]);
      }
      for (uint64_t q = 0; q < R; ++q)
        for (uint64_t it : items) h.biases.push_back(biases[q * M + it]);
      m.heads.push_back(std::move(h));
      at += need;
    }
  }

  if (tok_at == img.tensor_count()) return fail(K::NoTokenizer);
  auto blob = img.bytes(tok_at);
  if (!blob) return fail(blob.error());
  auto tok = sp::Tokenizer::parse(*blob);
  if (!tok) return fail(K::TokenizerDidNotDecode);

  // The rung's geometry: its blocks, their global flags and engram sites.
  g.num_layers = kept.size();
  g.blocks = kept;
  g.engram_sites = sites;
  for (uint64_t b = 0; b < m.blocks.size(); ++b)
    if (m.blocks[b].global) g.global_layers.push_back(b);
  m.geom = std::move(g);
  if (auto ok = finish_model(m); !ok) return std::unexpected<LoadError>(ok.error());
  const chat::SpecialIds special = chat::lookup_special_ids(*tok);
  return V3Bundle{std::move(m), std::move(*tok), special};
}

std::expected<V3Bundle, LoadError> load_v3_file(const std::string& path, std::optional<uint64_t> depth) {
  auto bytes = io::read_file(path);
  if (!bytes) return std::unexpected<LoadError>(bytes.error());
  return load_v3(std::move(*bytes), depth);
}

}  // namespace vorpel::v3

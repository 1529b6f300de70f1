// Second-generation loader: header -> geometry, count and head-manifest checks,
// the canon walk (every tensor by position, shape then encoding, then decoded),
// head manifest, optional tokenizer, model validation.
//
// Float tensors are taken with as many values as their bytes hold; an entry
// whose declared shape matches but whose byte count does not fails the length
// checks of the model validation (or of the head manifest), so no vector is
// ever read past its end. CQ tensors are decoded from their declared shape and
// the codec rejects too few bytes. Every allocation is bounded by the file:
// shapes are compared with the directory before anything is decoded, float
// vectors hold what the entry's bytes hold, and the codec checks its byte count
// before it copies.
#include "vorpel/v2/bundle.hpp"

#include <cmath>
#include <utility>

#include "vorpel/io/read_file.hpp"
#include "vorpel/core/checked.hpp"
#include "vorpel/trov/header_layout.hpp"
#include "vorpel/trov/trov_image.hpp"

namespace vorpel::v2 {

namespace {

using trov::TrovError;
using trov::TrovImage;

std::unexpected<LoadError> err(const TrovError& e) { return std::unexpected<LoadError>(e); }

V2Geometry read_geometry(const TrovImage& img) {
  using trov::v2_offset;
  V2Geometry g;
  g.rope_theta = img.header_f32(v2_offset("rope_theta"));
  g.kv_window = img.header_u32(v2_offset("kv_window"));
  g.vocab = img.header_u32(v2_offset("vocab"));
  g.d_model = img.header_u32(v2_offset("d_model"));
  g.num_heads = img.header_u32(v2_offset("num_heads"));
  g.num_kv_heads = img.header_u32(v2_offset("num_kv_heads"));
  g.num_layers = img.header_u32(v2_offset("num_layers"));
  g.head_dim = img.header_u32(v2_offset("head_dim"));
  g.max_seq_len = img.header_u32(v2_offset("max_seq_len"));
  g.hada_n = img.header_u32(v2_offset("hada_n"));
  g.mhc_lanes = img.header_u32(v2_offset("mhc_lanes"));
  g.table_rows = img.header_u32(v2_offset("table_rows"));
  g.sub_dim = img.header_u32(v2_offset("sub_dim"));
  g.num_tables = img.header_u32(v2_offset("num_tables"));
  g.conv_taps = img.header_u32(v2_offset("conv_taps"));
  g.tap_stride = img.header_u32(v2_offset("tap_stride"));
  for (uint32_t o : img.first_list()) g.orders.push_back(o);
  for (uint32_t s : img.second_list()) g.engram_sites.push_back(s);
  for (size_t i = 0; i < 4; ++i) g.flags[i] = img.header_u8(v2_offset("flags") + i);
  return g;
}

// Canon reader: walks the directory by position.
class Canon {
 public:
  explicit Canon(const TrovImage& img) : img_(img) {}

  std::expected<cq::CqTensor, LoadError> cq(size_t i, std::string_view name, std::initializer_list<uint64_t> dims) {
    if (auto ok = img_.check_shape(i, name, dims); !ok) return err(ok.error());
    auto t = img_.cq_tensor(i);
    if (!t) return err(t.error());
    return std::move(*t);
  }

  std::expected<std::vector<float>, LoadError> floats(size_t i, std::string_view name,
                                                        std::initializer_list<uint64_t> dims) {
    if (auto ok = img_.check_shape(i, name, dims); !ok) return err(ok.error());
    return floats_any(i);
  }

  // Float tensor whose shape is checked later (heads).
  std::expected<std::vector<float>, LoadError> floats_any(size_t i) {
    auto v = img_.floats(i);
    if (!v) return err(v.error());
    return std::move(*v);
  }

 private:
  const TrovImage& img_;
};

#define V2_TRY_ASSIGN(dst, expr)                         \
  do {                                                   \
    auto v2_try_ = (expr);                               \
    if (!v2_try_) return std::unexpected(v2_try_.error()); \
    dst = std::move(*v2_try_);                           \
  } while (0)

// Probe-head kind code: the float clamped to 0..255 and truncated (NaN reads as 0).
uint8_t head_code(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 255.0f) return 255;
  return static_cast<uint8_t>(v);
}

}  // namespace

std::expected<V2Bundle, LoadError> load_v2_bundle(std::vector<uint8_t> bytes) {
  auto parsed = TrovImage::parse_v2(std::move(bytes));
  if (!parsed) return err(parsed.error());
  const TrovImage& img = *parsed;

  V2Bundle bundle;
  V2Model& m = bundle.model;
  m.geom = read_geometry(img);
  const V2Geometry& g = m.geom;

  // Counts: the tokenizer entry (last, raw bytes) is not part of the canon.
  const auto& entries = img.entries();
  const bool has_tokenizer = !entries.empty() && entries.back().dtype == trov::kDtypeBytes;
  const uint64_t model_n = entries.size() - (has_tokenizer ? 1 : 0);
  const uint64_t S = g.engram_sites.size();
  const uint64_t fixed = 11 + 14 * g.num_layers + 4 * S;
  if (model_n < fixed) return err(TrovError::tensor_count_too_small(fixed, model_n));
  const uint64_t surplus = model_n - fixed;
  uint64_t H = 0;
  if (surplus != 0) {
    if (surplus < 4 || (surplus - 1) % 3 != 0) return err(TrovError::bad_head_manifest(surplus));
    H = (surplus - 1) / 3;
  }

  // Canon walk.
  Canon c(img);
  const uint64_t d = g.d_model, L = g.mhc_lanes, NL = g.num_layers;
  size_t i = 0;
  V2_TRY_ASSIGN(m.embedding, c.cq(i++, "embedding", {g.vocab, d}));
  m.layers.resize(NL);
  for (V2Layer& ly : m.layers) {
    V2_TRY_ASSIGN(ly.norm_in, c.floats(i++, "norm_in", {d}));
    V2_TRY_ASSIGN(ly.q_proj, c.cq(i++, "q_proj", {g.q_dim(), d}));
    V2_TRY_ASSIGN(ly.k_proj, c.cq(i++, "k_proj", {g.kv_dim(), d}));
    V2_TRY_ASSIGN(ly.v_proj, c.cq(i++, "v_proj", {g.kv_dim(), d}));
    V2_TRY_ASSIGN(ly.q_norm, c.floats(i++, "q_norm", {g.head_dim}));
    V2_TRY_ASSIGN(ly.k_norm, c.floats(i++, "k_norm", {g.head_dim}));
    V2_TRY_ASSIGN(ly.gate_proj, c.cq(i++, "gate_proj", {g.q_dim(), d}));
    V2_TRY_ASSIGN(ly.out_proj, c.cq(i++, "out_proj", {d, g.q_dim()}));
    V2_TRY_ASSIGN(ly.post_norm, c.floats(i++, "post_norm", {d}));
    V2_TRY_ASSIGN(ly.attn_gate, c.floats(i++, "attn_gate", {1}));
    V2_TRY_ASSIGN(ly.pre_hada, c.floats(i++, "pre_hada", {d}));
    V2_TRY_ASSIGN(ly.d1, c.floats(i++, "d1", {g.hada_n}));
    V2_TRY_ASSIGN(ly.d2, c.floats(i++, "d2", {g.hada_n}));
    V2_TRY_ASSIGN(ly.d3, c.floats(i++, "d3", {g.hada_n}));
  }
  V2Mhc& x = m.mhc;
  V2_TRY_ASSIGN(x.a_pre, c.floats(i++, "mhc_a_pre", {NL}));
  V2_TRY_ASSIGN(x.a_post, c.floats(i++, "mhc_a_post", {NL}));
  V2_TRY_ASSIGN(x.a_res, c.floats(i++, "mhc_a_res", {NL}));
  V2_TRY_ASSIGN(x.b_pre, c.floats(i++, "mhc_b_pre", {NL, L}));
  V2_TRY_ASSIGN(x.b_post, c.floats(i++, "mhc_b_post", {NL, L}));
  V2_TRY_ASSIGN(x.b_res, c.floats(i++, "mhc_b_res", {NL, L, L}));
  V2_TRY_ASSIGN(x.phi_pre, c.cq(i++, "mhc_phi_pre", {NL * L, L * d}));
  V2_TRY_ASSIGN(x.phi_post, c.cq(i++, "mhc_phi_post", {NL * L, L * d}));
  V2_TRY_ASSIGN(x.phi_res, c.cq(i++, "mhc_phi_res", {sat_mul(NL * L, L), L * d}));
  m.engrams.resize(S);
  for (V2Engram& e : m.engrams) {
    V2_TRY_ASSIGN(e.tables, c.cq(i++, "engram tables", {g.num_tables * g.table_rows, g.sub_dim}));
    V2_TRY_ASSIGN(e.key_proj, c.cq(i++, "engram key_proj", {d, g.sub_dim * g.num_tables}));
    V2_TRY_ASSIGN(e.value_proj, c.cq(i++, "engram value_proj", {d, g.sub_dim * g.num_tables}));
    V2_TRY_ASSIGN(e.taps, c.floats(i++, "engram taps", {g.conv_taps, d}));
  }
  V2_TRY_ASSIGN(m.final_norm, c.floats(i++, "final_norm", {d}));
  std::vector<float> kinds;
  struct RawHead {
    std::vector<float> probes, proj, bias;
  };
  std::vector<RawHead> raw(H);
  if (H > 0) {
    V2_TRY_ASSIGN(kinds, c.floats(i++, "head kinds", {H}));
    for (RawHead& h : raw) {
      V2_TRY_ASSIGN(h.probes, c.floats_any(i++));
      V2_TRY_ASSIGN(h.proj, c.floats_any(i++));
      V2_TRY_ASSIGN(h.bias, c.floats_any(i++));
    }
  }

  // Head manifest.
  if (H > 0) {
    if (kinds.size() != H) return err(TrovError::shape_mismatch(fixed, "head kinds", std::vector<uint64_t>{kinds.size()}, std::vector<uint64_t>{H}));
    const size_t first = fixed + 1;
    // Every kind code first, then the shapes head by head.
    for (uint64_t h = 0; h < H; ++h)
      if (const uint8_t code = head_code(kinds[h]); code != 1 && code != 2)
        return err(TrovError::unknown_head_code(code));
    m.heads.resize(H);
    for (uint64_t h = 0; h < H; ++h) {
      V2Head& out = m.heads[h];
      out.kind = head_code(kinds[h]);
      const trov::TensorEntry& pe = img.entry(first + 3 * h);
      const trov::TensorEntry& je = img.entry(first + 3 * h + 1);
      const trov::TensorEntry& be = img.entry(first + 3 * h + 2);
      out.num_probes = pe.ndim >= 1 ? pe.dims[0] : 0;
      if (pe.ndim != 2 || pe.dims[1] != d || raw[h].probes.size() != sat_mul(out.num_probes, d))
        return std::unexpected<LoadError>(ModelError::HeadProbes);
      const uint64_t width = out.num_probes * d;
      out.out_dim = je.ndim >= 1 ? je.dims[0] : 0;
      if (je.ndim != 2 || je.dims[1] != width || raw[h].proj.size() != sat_mul(out.out_dim, width))
        return std::unexpected<LoadError>(ModelError::HeadProj);
      if (be.ndim != 1 || raw[h].bias.size() != out.out_dim)
        return std::unexpected<LoadError>(ModelError::HeadBias);
      out.probes = std::move(raw[h].probes);
      out.proj = std::move(raw[h].proj);
      out.bias = std::move(raw[h].bias);
    }
  }

  if (has_tokenizer) {
    auto blob = img.bytes(entries.size() - 1);
    if (!blob) return err(blob.error());
    auto tok = sp::Tokenizer::parse(*blob);
    if (!tok) return std::unexpected<LoadError>(tok.error());
    bundle.tokenizer = std::move(*tok);
  }

  if (auto ok = validate_model(m); !ok) return std::unexpected<LoadError>(ok.error());
  return bundle;
}

std::expected<V2Bundle, LoadError> load_v2_bundle_file(const std::string& path) {
  auto bytes = io::read_file(path);
  if (!bytes) return std::unexpected<LoadError>(bytes.error());
  return load_v2_bundle(std::move(*bytes));
}

}  // namespace vorpel::v2

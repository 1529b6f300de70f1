// Configuration reading and checks, and the tensor walk that builds a
// first-generation model. Every size is checked before anything it governs is
// allocated or read.
#include "vorpel/v1/loader.hpp"

#include <optional>
#include <utility>
#include <vector>

#include "vorpel/core/checked.hpp"
#include "vorpel/core/diagnostic.hpp"
#include "vorpel/text/decimal.hpp"

namespace vorpel::v1 {

namespace {

using K = V1Error::Kind;
using Metadata = std::unordered_map<std::string, std::string>;

std::unexpected<LoadError> fail(V1Error e) { return std::unexpected(LoadError(std::move(e))); }

std::optional<uint64_t> unsigned_value(const Metadata& md, const char* key) {
  const auto it = md.find(key);
  if (it == md.end()) return std::nullopt;
  return text::parse_u64(it->second);
}

// Reads tensors in the member order; warnings are written as they occur.
class Walker {
 public:
  Walker(const st::SafetensorsFile& f, const V1Config& c) : f_(f), c_(c) {}

  std::expected<std::optional<std::vector<float>>, LoadError> floats(const std::string& name) const {
    auto r = f_.get_f32(name);
    if (!r) return std::unexpected(LoadError(std::move(r.error())));
    return std::move(*r);
  }

  // Zeros when absent; otherwise exactly n values.
  std::expected<std::vector<float>, LoadError> norm(const std::string& name, uint64_t n) const {
    auto v = floats(name);
    if (!v) return std::unexpected(std::move(v.error()));
    if (!*v) return std::vector<float>(n, 0.0f);
    if ((*v)->size() != n) return fail({K::NormSize, (*v)->size(), n, 0, 0, name});
    return std::move(**v);
  }

  // 0.0 when absent; otherwise the first value.
  std::expected<float, LoadError> gate(const std::string& name) const {
    auto v = floats(name);
    if (!v) return std::unexpected(std::move(v.error()));
    if (!*v) return 0.0f;
    if ((*v)->empty()) return fail({K::EmptyGate, 0, 0, 0, 0, name});
    return (**v)[0];
  }

  std::expected<QuantLinear, LoadError> linear(const std::string& name, uint64_t in, uint64_t out) const {
    const std::string scale_name = name + ".scale";
    if (f_.info(name) && f_.info(scale_name)) {
      auto scales = floats(scale_name);
      if (!scales) return std::unexpected(std::move(scales.error()));
      if (*scales) {
        const uint64_t s = (*scales)->size();
        if (s % out == 0) {
          const uint64_t groups = s / out, need = QuantLinear::scale_count(in, 1);
          if (groups != need) return fail({K::ScaleGroups, groups, need, in, 0, name});
          auto raw = f_.raw(name);
          if (!raw) return std::unexpected(LoadError(std::move(raw.error())));
          const uint64_t bytes = QuantLinear::packed_bytes(in, out);
          if (raw->size() != bytes) return fail({K::PackedSize, raw->size(), bytes, in, out, name});
          return QuantLinear::from_packed(in, out, *raw, std::move(**scales));
        }
        diagnostic_line("Warning: " + name + ".scale length " + std::to_string(s) +
                        " is not divisible by out_feat " + std::to_string(out) + "; falling back to re-quantize");
      }
    }
    auto w = floats(name);
    if (!w) return std::unexpected(std::move(w.error()));
    if (!*w) {
      diagnostic_line("Warning: missing tensor " + name + ", using zeros");
      return QuantLinear::zeros(in, out);
    }
    // in x out fits: the weight memory check bounded it.
    if ((*w)->size() != in * out) return fail({K::LinearSize, (*w)->size(), in * out, in, out, name});
    return QuantLinear::quantize(in, out, **w);
  }

  std::expected<V1Attention, LoadError> attention(const std::string& p) const {
    const uint64_t d = c_.d_model, hd = c_.head_dim(), qd = c_.q_dim(), kvd = c_.kv_dim();
    V1Attention a;
    auto wq = linear(p + ".wq", d, qd);
    if (!wq) return std::unexpected(std::move(wq.error()));
    a.wq = std::move(*wq);
    auto wk = linear(p + ".wk", d, kvd);
    if (!wk) return std::unexpected(std::move(wk.error()));
    a.wk = std::move(*wk);
    auto wv = linear(p + ".wv", d, kvd);
    if (!wv) return std::unexpected(std::move(wv.error()));
    a.wv = std::move(*wv);
    auto wo = linear(p + ".wo", qd, d);
    if (!wo) return std::unexpected(std::move(wo.error()));
    a.wo = std::move(*wo);
    auto qn = norm(p + ".q_norm", hd);
    if (!qn) return std::unexpected(std::move(qn.error()));
    a.q_norm = std::move(*qn);
    auto kn = norm(p + ".k_norm", hd);
    if (!kn) return std::unexpected(std::move(kn.error()));
    a.k_norm = std::move(*kn);
    return a;
  }

  std::expected<V1FeedForward, LoadError> feed_forward(const std::string& p) const {
    const uint64_t d = c_.d_model, h = c_.ffn_dim;
    V1FeedForward f;
    auto g = linear(p + ".ffn.gate_proj", d, h);
    if (!g) return std::unexpected(std::move(g.error()));
    f.gate_proj = std::move(*g);
    auto u = linear(p + ".ffn.up_proj", d, h);
    if (!u) return std::unexpected(std::move(u.error()));
    f.up_proj = std::move(*u);
    auto dn = linear(p + ".ffn.down_proj", h, d);
    if (!dn) return std::unexpected(std::move(dn.error()));
    f.down_proj = std::move(*dn);
    auto gt = gate(p + ".ffn_gate");
    if (!gt) return std::unexpected(std::move(gt.error()));
    f.gate = *gt;
    auto n = norm(p + ".ffn_norm", d);
    if (!n) return std::unexpected(std::move(n.error()));
    f.norm = std::move(*n);
    return f;
  }

  // Feed-forward, self-attention, its gate and its norm; for the decoder then
  // the cross-attention, its gate and its norm. This order fixes the order of
  // the warnings.
  std::expected<V1Block, LoadError> block(const std::string& p, bool decoder) const {
    V1Block b;
    if (!c_.no_feedforward) {
      auto f = feed_forward(p);
      if (!f) return std::unexpected(std::move(f.error()));
      b.ffn = std::move(*f);
    }
    auto sa = attention(p + ".self_attn");
    if (!sa) return std::unexpected(std::move(sa.error()));
    b.self_attn = std::move(*sa);
    auto sg = gate(p + ".self_attn_gate");
    if (!sg) return std::unexpected(std::move(sg.error()));
    b.self_attn_gate = *sg;
    auto sn = norm(p + (decoder ? ".self_attn_norm" : ".norm"), c_.d_model);
    if (!sn) return std::unexpected(std::move(sn.error()));
    b.self_attn_norm = std::move(*sn);
    if (decoder) {
      V1Cross cr;
      auto ca = attention(p + ".cross_attn");
      if (!ca) return std::unexpected(std::move(ca.error()));
      cr.attn = std::move(*ca);
      auto cg = gate(p + ".cross_attn_gate");
      if (!cg) return std::unexpected(std::move(cg.error()));
      cr.gate = *cg;
      auto cn = norm(p + ".cross_attn_norm", c_.d_model);
      if (!cn) return std::unexpected(std::move(cn.error()));
      cr.norm = std::move(*cn);
      b.cross = std::move(cr);
    }
    return b;
  }

  // The head when all three tensors are present and their sizes agree; a
  // present but inconsistent head is skipped with a warning.
  std::expected<std::optional<V1ContrastiveHead>, LoadError> contrastive() const {
    auto kernel = floats("contrastive_hidden_kernel");
    if (!kernel) return std::unexpected(std::move(kernel.error()));
    auto bias = floats("contrastive_hidden_bias");
    if (!bias) return std::unexpected(std::move(bias.error()));
    auto proj = floats("contrastive_proj_kernel");
    if (!proj) return std::unexpected(std::move(proj.error()));
    if (!*kernel || !*bias || !*proj) return std::nullopt;
    const uint64_t H = (*bias)->size();
    if (H == 0 || (*kernel)->size() != sat_mul(H, c_.d_model) || (*proj)->size() % H != 0) {
      diagnostic_line("[vorpel] contrastive head shape mismatch \u2014 skipping");
      return std::nullopt;
    }
    V1ContrastiveHead h;
    h.hidden = H;
    h.dim = (*proj)->size() / H;
    h.hidden_kernel = std::move(**kernel);
    h.hidden_bias = std::move(**bias);
    h.proj_kernel = std::move(**proj);
    return h;
  }

 private:
  const st::SafetensorsFile& f_;
  const V1Config& c_;
};

uint64_t linear_bytes(uint64_t in, uint64_t out) {
  return sat_add(sat_add(QuantLinear::packed_bytes(in, out), sat_mul(QuantLinear::scale_count(in, out), 4)),
                 sizeof(QuantLinear));
}

uint64_t attention_bytes(const V1Config& c) {
  const uint64_t d = c.d_model;
  uint64_t n = linear_bytes(d, c.q_dim());
  n = sat_add(n, sat_mul(2, linear_bytes(d, c.kv_dim())));
  n = sat_add(n, linear_bytes(c.q_dim(), d));
  return sat_add(n, sat_mul(2 * sizeof(float), c.head_dim()));
}

}  // namespace

V1Config read_config(const Metadata& md) {
  V1Config c;
  c.max_enc_len = unsigned_value(md, "max_enc_len").value_or(unsigned_value(md, "max_seq_len").value_or(1024));
  if (const auto it = md.find("activation"); it != md.end()) {
    if (it->second == "swiglu") c.activation = Activation::SwiGlu;
    else if (it->second == "geglu") c.activation = Activation::GeGlu;
  }
  c.d_model = unsigned_value(md, "d_model").value_or(c.d_model);
  c.num_heads = unsigned_value(md, "num_heads").value_or(c.num_heads);
  c.num_kv_heads = unsigned_value(md, "num_kv_heads").value_or(c.num_kv_heads);
  c.num_encoder_layers = unsigned_value(md, "num_encoder_layers").value_or(c.num_encoder_layers);
  c.num_decoder_layers = unsigned_value(md, "num_decoder_layers").value_or(c.num_decoder_layers);
  c.vocab_size = unsigned_value(md, "vocab_size").value_or(c.vocab_size);
  c.max_dec_len = unsigned_value(md, "max_dec_len").value_or(c.max_dec_len);
  c.ffn_dim = unsigned_value(md, "ffn_dim").value_or(c.ffn_dim);
  if (const auto it = md.find("no_feedforward"); it != md.end())
    c.no_feedforward = it->second == "1" || it->second == "True" || it->second == "true";
  if (const auto it = md.find("rope_theta"); it != md.end())
    c.rope_theta = text::parse_f32(it->second).value_or(c.rope_theta);
  return c;
}

std::expected<void, V1Error> validate_config(const V1Config& c) {
  if (c.num_heads == 0) return std::unexpected(V1Error{K::NumHeadsZero});
  if (c.num_kv_heads == 0) return std::unexpected(V1Error{K::NumKvHeadsZero});
  if (c.d_model == 0) return std::unexpected(V1Error{K::DModelZero});
  if (c.d_model % c.num_heads != 0) return std::unexpected(V1Error{K::DModelNotDivisible});
  if (c.num_heads % c.num_kv_heads != 0) return std::unexpected(V1Error{K::HeadsNotDivisible});
  if (c.vocab_size == 0) return std::unexpected(V1Error{K::VocabZero});
  // Linear weights with no output columns would leave every scale group empty.
  if (!c.no_feedforward && c.ffn_dim == 0) return std::unexpected(V1Error{K::FfnDimZero});
  return {};
}

uint64_t weight_memory_bytes(const V1Config& c) {
  const uint64_t d = c.d_model, norm = sat_mul(sizeof(float), d);
  uint64_t block = sat_add(sizeof(V1Block), sat_add(attention_bytes(c), norm));
  if (!c.no_feedforward) {
    uint64_t f = sat_mul(2, linear_bytes(d, c.ffn_dim));
    f = sat_add(f, linear_bytes(c.ffn_dim, d));
    block = sat_add(block, sat_add(f, norm));
  }
  const uint64_t dec_block = sat_add(block, sat_add(attention_bytes(c), norm));
  uint64_t total = sat_mul(c.num_encoder_layers, block);
  total = sat_add(total, sat_mul(c.num_decoder_layers, dec_block));
  return sat_add(total, sat_mul(2, norm));
}

uint64_t weight_memory_limit(uint64_t data_bytes) { return sat_add(uint64_t{64} << 20, sat_mul(4, data_bytes)); }

std::expected<V1Model, LoadError> build_model(const st::SafetensorsFile& file) {
  V1Model m;
  m.config = read_config(file.metadata());
  const V1Config& c = m.config;
  if (auto ok = validate_config(c); !ok) return fail(ok.error());

  auto emb = file.get_f32("embedding");
  if (!emb) return std::unexpected(LoadError(std::move(emb.error())));
  if (!*emb) return fail({K::MissingEmbedding});
  const uint64_t expected = sat_mul(c.vocab_size, c.d_model);
  if (expected == kSaturated) return fail({K::EmbeddingOverflow, c.vocab_size, c.d_model});
  if ((*emb)->size() != expected) return fail({K::EmbeddingSize, (*emb)->size(), expected});
  m.embedding = std::move(**emb);

  // Missing weights are zero-filled, so the metadata alone decides how much
  // the blocks take: bound it by the file before allocating any of it.
  const uint64_t need = weight_memory_bytes(c), limit = weight_memory_limit(file.data().size());
  if (need > limit) return fail({K::WeightMemory, need, limit});

  const Walker w(file, c);
  m.encoder.reserve(c.num_encoder_layers);
  for (uint64_t i = 0; i < c.num_encoder_layers; ++i) {
    auto b = w.block("encoder." + std::to_string(i), false);
    if (!b) return std::unexpected(std::move(b.error()));
    m.encoder.push_back(std::move(*b));
  }
  m.decoder.reserve(c.num_decoder_layers);
  for (uint64_t i = 0; i < c.num_decoder_layers; ++i) {
    auto b = w.block("decoder." + std::to_string(i), true);
    if (!b) return std::unexpected(std::move(b.error()));
    m.decoder.push_back(std::move(*b));
  }
  auto enc_final = w.norm("encoder_final_norm", c.d_model);
  if (!enc_final) return std::unexpected(std::move(enc_final.error()));
  m.encoder_final_norm = std::move(*enc_final);
  auto dec_final = w.norm("decoder_final_norm", c.d_model);
  if (!dec_final) return std::unexpected(std::move(dec_final.error()));
  m.decoder_final_norm = std::move(*dec_final);

  m.rope = ops::RopeTable(c.head_dim(), c.rope_theta, c.rope_positions());

  auto head = w.contrastive();
  if (!head) return std::unexpected(std::move(head.error()));
  m.contrastive = std::move(*head);
  return m;
}

}  // namespace vorpel::v1

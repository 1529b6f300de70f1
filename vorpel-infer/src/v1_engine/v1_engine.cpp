// The first-generation engine: loading, the tool-text preparation (name
// aliases, white space), the encoder input layout, greedy decoding through the
// shared token loop with the constraint on from the first token, the output
// post-processing, and the contrastive operations.
#include "vorpel/v1_engine/v1_engine.hpp"

#include <algorithm>

#include "vorpel/constrained/tool_constraint.hpp"
#include "vorpel/constrained/tool_parse.hpp"
#include "vorpel/engine/generation_loop.hpp"
#include "vorpel/engine/heads.hpp"
#include "vorpel/engine/sampling.hpp"
#include "vorpel/io/read_file.hpp"
#include "vorpel/safetensors/safetensors.hpp"
#include "vorpel/v1/forward.hpp"
#include "vorpel/v1/loader.hpp"

namespace vorpel::v1 {

struct V1Engine::Loaded {
  V1Model model;
  vocab::Vocab vocab;
  // Piece texts (U+2581 as a space) by id: the bytes each token adds to the output.
  std::shared_ptr<const constrained::TokenBytesIndex> token_bytes;
};

namespace {

bool is_json_space(char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }

// The decoder as the shared token loop sees it. A full self-attention cache is
// handled inside the step (warning, no store), so the context never ends the loop.
class DecoderStepper final : public engine::StepModel {
 public:
  explicit DecoderStepper(V1Decoder& d) : d_(d) {}
  bool context_full() const override { return false; }
  std::expected<void, std::string> step(uint32_t t, std::span<float> logits) override {
    d_.step(t, logits);
    return {};
  }

 private:
  V1Decoder& d_;
};

// Query ids, the separator, tool ids, cut to L = max_enc_len positions: at
// most L - 2 query ids, then as many tool ids as fit after the separator.
std::vector<uint32_t> layout(const vocab::Vocab& vocab, uint64_t L, std::string_view query,
                             std::string_view tool_text) {
  const std::vector<uint32_t> q = vocab.encode(query), t = vocab.encode(tool_text);
  if ((q.empty() && t.empty()) || L == 0) return {};
  const uint64_t nq = std::min<uint64_t>(q.size(), L >= 2 ? L - 2 : 0);
  const uint64_t nt = std::min<uint64_t>(t.size(), L >= nq + 1 ? L - nq - 1 : 0);
  std::vector<uint32_t> ids(q.begin(), q.begin() + static_cast<ptrdiff_t>(nq));
  ids.push_back(kSeparatorId);
  ids.insert(ids.end(), t.begin(), t.begin() + static_cast<ptrdiff_t>(nt));
  return ids;
}

using Aliases = std::vector<std::pair<std::string, std::string>>;

// (raw, normalised) for every tool whose two names differ, in tool order.
Aliases aliases_of(const std::vector<constrained::ToolRecord>& tools) {
  Aliases out;
  for (const auto& t : tools)
    if (t.name != t.normalized) out.emplace_back(t.name, t.normalized);
  return out;
}

std::string tool_text_of(std::string_view tools_json, const Aliases& aliases) {
  return remove_space_outside_strings(aliases.empty() ? std::string(tools_json)
                                                      : rewrite_tool_names(tools_json, aliases));
}

}  // namespace

std::string rewrite_tool_names(std::string_view text, const std::vector<std::pair<std::string, std::string>>& pairs) {
  constexpr std::string_view kKey = "\"name\"";
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  for (;;) {
    const size_t key = text.find(kKey, i);
    const size_t colon = key == std::string_view::npos ? key : text.find(':', key + kKey.size());
    if (colon == std::string_view::npos) break;
    out.append(text.substr(i, colon + 1 - i));
    i = colon + 1;
    size_t k = i;
    while (k < text.size() && is_json_space(text[k])) ++k;
    if (k >= text.size() || text[k] != '"') continue;
    size_t e = k + 1;
    while (e < text.size() && text[e] != '"') e += text[e] == '\\' ? 2 : 1;
    if (e >= text.size()) continue;
    const std::string_view value = text.substr(k + 1, e - k - 1);
    const auto hit = std::find_if(pairs.begin(), pairs.end(), [&](const auto& p) { return p.first == value; });
    if (hit == pairs.end()) continue;  // the search goes on right after the colon
    out.append(text.substr(i, k + 1 - i));
    out.append(hit->second);
    out.push_back('"');
    i = e + 1;
  }
  out.append(text.substr(i));
  return out;
}

std::string remove_space_outside_strings(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool in_string = false, escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (is_json_space(c)) {
      continue;
    }
    out.push_back(c);
  }
  return out;
}

std::expected<V1Engine, LoadError> V1Engine::assemble(std::vector<uint8_t> weights, vocab::Vocab vocab) {
  auto file = st::SafetensorsFile::parse(std::move(weights));
  if (!file) return std::unexpected(LoadError(std::move(file.error())));
  auto model = build_model(*file);
  if (!model) return std::unexpected(std::move(model.error()));
  std::vector<std::string> bytes(vocab.size());
  for (uint32_t id = 0; id < vocab.size(); ++id) bytes[id] = vocab.piece_text(id);
  auto index = std::make_shared<const constrained::TokenBytesIndex>(std::move(bytes));
  return V1Engine(std::make_shared<const Loaded>(Loaded{std::move(*model), std::move(vocab), std::move(index)}));
}

std::expected<V1Engine, LoadError> V1Engine::load(const std::string& weights_path, const std::string& vocab_path) {
  auto weights = io::read_file(weights_path);
  if (!weights) return std::unexpected(LoadError(std::move(weights.error())));
  auto vocab = vocab::Vocab::load_file(vocab_path);
  if (!vocab) return std::unexpected(LoadError(io::IoError{std::move(vocab.error())}));
  return assemble(std::move(*weights), std::move(*vocab));
}

std::expected<V1Engine, LoadError> V1Engine::from_bytes(std::vector<uint8_t> weights, std::string_view vocab_text) {
  return assemble(std::move(weights), vocab::Vocab::load(vocab_text));
}

const V1Model& V1Engine::model() const { return loaded_->model; }
const vocab::Vocab& V1Engine::vocab() const { return loaded_->vocab; }

std::vector<uint32_t> V1Engine::encoder_input(std::string_view query, std::string_view tools_json) const {
  const Aliases aliases = aliases_of(constrained::parse_tools(tools_json));
  return layout(loaded_->vocab, loaded_->model.config.max_enc_len, query, tool_text_of(tools_json, aliases));
}

V1RunResult V1Engine::generate(std::string_view query, std::string_view tools_json, const StreamCallback* callback,
                               const CallHooks& hooks) const {
  const Loaded& L = *loaded_;
  const V1Config& c = L.model.config;
  const std::vector<constrained::ToolRecord> tools = constrained::parse_tools(tools_json);
  const Aliases aliases = aliases_of(tools);
  const std::vector<uint32_t> input = layout(L.vocab, c.max_enc_len, query, tool_text_of(tools_json, aliases));
  V1RunResult res;
  if (input.empty()) return res;

  hooks.check();
  const std::vector<float> enc = encode(L.model, input);
  V1Decoder decoder(L.model, enc, input.size(), c.max_dec_len);
  std::vector<float> logits(c.vocab_size);
  decoder.step(kDecoderStartId, logits);

  std::optional<constrained::ToolConstraint> constraint;
  if (!tools.empty()) constraint.emplace(tools, L.token_bytes);
  engine::ConstraintUse cu;
  cu.constraint = constraint ? &*constraint : nullptr;
  cu.always = true;
  engine::LoopSpec spec;
  // Stops once max_dec_len tokens are out; with max_dec_len 0 that is after
  // the first, so at least one token is always produced unless it is the end.
  spec.budget = std::max<uint64_t>(c.max_dec_len, 1);
  spec.eos = kEndId;
  spec.step_last_token = false;
  auto chooser = engine::TokenChooser::first_generation();
  // The loop calls this after recording the token and feeding the constraint;
  // neither is visible to the callback, which sees only the id and its piece.
  std::function<void(uint32_t)> on_token;
  if (callback) on_token = [&](uint32_t t) { (*callback)(t, L.vocab.piece_text(t)); };
  DecoderStepper stepper(decoder);
  engine::LoopResult loop = engine::generation_loop(stepper, logits, chooser, cu, spec, on_token, hooks);
  res.token_ids = std::move(loop.ids);

  std::string text = L.vocab.decode(res.token_ids);
  if (L.vocab.size() >= 5) {
    const std::string prefix = L.vocab.piece_text(kPrefixId);
    if (text.starts_with(prefix)) text.erase(0, prefix.size());
  }
  if (!aliases.empty()) {
    Aliases back;
    back.reserve(aliases.size());
    for (const auto& [raw, norm] : aliases) back.emplace_back(norm, raw);
    text = rewrite_tool_names(text, back);
  }
  res.text = std::move(text);
  return res;
}

std::string V1Engine::run(std::string_view query, std::string_view tools_json, const CallHooks& hooks) const {
  return generate(query, tools_json, nullptr, hooks).text;
}

std::string V1Engine::run_stream(std::string_view query, std::string_view tools_json, const StreamCallback& callback,
                                 const CallHooks& hooks) const {
  return generate(query, tools_json, &callback, hooks).text;
}

std::vector<std::string> V1Engine::run_batch(const std::vector<std::pair<std::string, std::string>>& examples,
                                             const CallHooks& hooks) const {
  std::vector<std::string> out;
  out.reserve(examples.size());
  for (const auto& [query, tools] : examples) out.push_back(run(query, tools, hooks));
  return out;
}

std::optional<std::vector<float>> V1Engine::encode_contrastive(std::string_view text, const CallHooks& hooks) const {
  const Loaded& L = *loaded_;
  if (!L.model.contrastive) return std::nullopt;
  const V1ContrastiveHead& head = *L.model.contrastive;
  std::vector<uint32_t> ids = L.vocab.encode(text);
  // The encoder rotates token i to position i: stay inside the rotary tables.
  const uint64_t limit = L.model.config.rope_positions();
  if (ids.size() > limit) ids.resize(limit);
  if (ids.empty()) return std::vector<float>(head.dim, 0.0f);
  hooks.check();
  const uint64_t d = L.model.config.d_model;
  const std::vector<float> e = encode(L.model, ids);
  std::vector<float> z = contrastive_project(head, mean_rows(e, ids.size(), d));
  engine::l2_normalise(z);
  return z;
}

uint64_t V1Engine::contrastive_dim() const { return loaded_->model.contrastive_dim(); }

std::vector<std::pair<uint64_t, float>> V1Engine::retrieve_tools(std::string_view query,
                                                                 const std::vector<std::string>& tool_descriptions,
                                                                 uint64_t top_k, const CallHooks& hooks) const {
  const auto q = encode_contrastive(query, hooks);
  if (!q) return {};
  std::vector<std::pair<uint64_t, float>> scored;
  scored.reserve(tool_descriptions.size());
  for (size_t i = 0; i < tool_descriptions.size(); ++i) {
    const auto d = encode_contrastive(tool_descriptions[i], hooks);
    scored.emplace_back(i, engine::dot_shorter(*q, *d));
  }
  return engine::rank_descending(std::move(scored), top_k);
}

engine::Record to_record(const V1RunResult& r) { return {{"text", r.text}, {"token_ids", r.token_ids}}; }

}  // namespace vorpel::v1

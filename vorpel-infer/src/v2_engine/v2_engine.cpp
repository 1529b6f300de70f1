// The second-generation engine: loading, the generation driver (prompt,
// prefill, token loop with stop conditions, sampling, constraint, streaming)
// and the head operations (confidence, contrastive embedding, retrieval).
#include "vorpel/v2_engine/v2_engine.hpp"

#include <cmath>
#include <utility>

#include "vorpel/chat/extract.hpp"
#include "vorpel/chat/prompt.hpp"
#include "vorpel/constrained/tool_constraint.hpp"
#include "vorpel/constrained/tool_parse.hpp"
#include "vorpel/core/panic.hpp"
#include "vorpel/v2/batch.hpp"
#include "vorpel/v2/bundle.hpp"
#include "vorpel/v2/forward.hpp"
#include "vorpel/v2/state.hpp"
#include "vorpel/engine/generation_loop.hpp"
#include "vorpel/engine/heads.hpp"
#include "vorpel/engine/sampling.hpp"
#include "vorpel/engine/stream.hpp"

namespace vorpel::v2 {

namespace {

constexpr const char* kNoTokenizer = "container has no embedded tokenizer; use the lower-level V2Bundle API";
constexpr uint8_t kContrastive = 1;
constexpr uint8_t kConfidence = 2;
// Room left for new tokens by the fixed-setting operations (run, run_json, ...).
constexpr uint64_t kFixedReserve = 128;

const sp::Tokenizer& require_tokenizer(const V2Bundle& b) {
  if (!b.tokenizer) panic(kNoTokenizer);
  return *b.tokenizer;
}

const V2Head* first_head(const V2Model& m, uint8_t kind) {
  for (const auto& h : m.heads)
    if (h.kind == kind) return &h;
  return nullptr;
}

GenerateOptions fixed_options() {
  GenerateOptions o;
  o.max_new_tokens = kFixedReserve;
  return o;
}

float sigmoid_f32(float z) { return 1.0f / (1.0f + std::exp(-z)); }

// The decode state as the shared token loop sees it.
class StateStepper final : public engine::StepModel {
 public:
  StateStepper(const V2Model& m, V2State& s) : m_(m), s_(s) {}
  bool context_full() const override { return s_.position() >= m_.geom.max_seq_len; }
  std::expected<void, std::string> step(uint32_t t, std::span<float> logits) override {
    auto r = v2::step(m_, s_, t, logits);
    if (!r) return std::unexpected(message(r.error()));
    return {};
  }

 private:
  const V2Model& m_;
  V2State& s_;
};

// Pools the hidden vectors of non-padding tokens into one head's pool.
class PoolObserver final : public HiddenObserver {
 public:
  explicit PoolObserver(engine::ProbePool& pool) : pool_(pool) {}
  void observe(std::span<const float> hidden) override {
    if (enabled) pool_.add(hidden);
  }
  bool enabled = true;

 private:
  engine::ProbePool& pool_;
};

}  // namespace

struct V2Engine::Precomputed {
  // Bytes each token id adds to the output, for the tool-call constraint.
  std::shared_ptr<const constrained::TokenBytesIndex> token_bytes;
  chat::SpecialIds special;
};

V2Engine::V2Engine(std::shared_ptr<const V2Bundle> bundle) : bundle_(std::move(bundle)) {
  VORPEL_CHECK(bundle_ != nullptr, "V2Engine needs a loaded bundle");
  auto pre = std::make_shared<Precomputed>();
  if (bundle_->tokenizer) {
    pre->token_bytes = std::make_shared<const constrained::TokenBytesIndex>(bundle_->tokenizer->piece_bytes());
    pre->special = chat::lookup_special_ids(*bundle_->tokenizer);
  }
  pre_ = std::move(pre);
}

std::expected<V2Engine, LoadError> V2Engine::load(const std::string& trov_path) {
  auto b = load_v2_bundle_file(trov_path);
  if (!b) return std::unexpected(std::move(b.error()));
  return V2Engine(std::make_shared<const V2Bundle>(std::move(*b)));
}

std::expected<V2Engine, LoadError> V2Engine::from_bytes(std::vector<uint8_t> trov_bytes) {
  auto b = load_v2_bundle(std::move(trov_bytes));
  if (!b) return std::unexpected(std::move(b.error()));
  return V2Engine(std::make_shared<const V2Bundle>(std::move(*b)));
}

// ---------------------------------------------------------------------------
// Generation driver.

GenerationResult V2Engine::generate_in(V2State& state, std::string_view query, std::string_view tools_json,
                                       const GenerateOptions& options, const StreamCallback* callback,
                                       const CallHooks& hooks) const {
  const V2Bundle& b = *bundle_;
  const sp::Tokenizer& tok = require_tokenizer(b);
  const V2Model& m = b.model;
  const uint64_t vocab = m.geom.vocab;

  GenerationResult res;
  const std::string prompt =
      chat::build_prompt(query, tools_json, options.system ? std::optional<std::string_view>(*options.system)
                                                           : std::nullopt);
  const std::vector<uint32_t> ids = chat::encode_prompt(tok, prompt, options.max_new_tokens, m.geom.max_seq_len);
  res.prompt_tokens = ids.size();

  std::vector<float> logits(vocab);
  state.reset();
  const std::function<void()> between_chunks = [&hooks] { hooks.check(); };
  if (auto r = prefill(m, state, ids, std::span<float>(logits), between_chunks); !r) {
    res.stop_reason = {StopKind::Error, message(r.error())};
    return res;
  }

  const chat::SpecialIds& sp_ids = pre_->special;
  std::optional<constrained::ToolConstraint> constraint;
  if (options.constrain) {
    auto tools = constrained::parse_tools(tools_json);
    if (!tools.empty()) constraint.emplace(tools, pre_->token_bytes);
  }
  engine::ConstraintUse cu;
  cu.constraint = constraint ? &*constraint : nullptr;
  cu.open = sp_ids.tool_call_open;
  cu.close = sp_ids.tool_call_close;
  engine::LoopSpec spec;
  spec.budget = options.max_new_tokens;
  spec.eos = tok.eos_id();
  spec.im_end = sp_ids.im_end;
  auto chooser = engine::TokenChooser::second_generation(options.temperature, options.seed);
  engine::StreamDecoder stream(tok);
  std::function<void(uint32_t)> on_token;
  if (callback) on_token = [&](uint32_t t) { (*callback)(t, stream.push(t)); };
  StateStepper stepper(m, state);
  engine::LoopResult loop = engine::generation_loop(stepper, logits, chooser, cu, spec, on_token, hooks);
  res.token_ids = std::move(loop.ids);
  res.stop_reason = std::move(loop.stop);

  res.text = tok.decode(res.token_ids);
  res.tool_call = chat::extract_tool_call(res.text);
  res.thinking = chat::extract_thinking(res.text);
  return res;
}

GenerationResult V2Engine::generate(std::string_view query, std::string_view tools_json,
                                    const GenerateOptions& options, const CallHooks& hooks) const {
  require_tokenizer(*bundle_);
  V2State state = V2State::for_generation(bundle_->model);
  return generate_in(state, query, tools_json, options, nullptr, hooks);
}

std::string V2Engine::run(std::string_view query, std::string_view tools_json, const CallHooks& hooks) const {
  return generate(query, tools_json, fixed_options(), hooks).text;
}

std::optional<std::string> V2Engine::run_json(std::string_view query, std::string_view tools_json,
                                              const CallHooks& hooks) const {
  return generate(query, tools_json, fixed_options(), hooks).tool_call;
}

std::string V2Engine::run_stream(std::string_view query, std::string_view tools_json,
                                 const StreamCallback& callback, const CallHooks& hooks) const {
  require_tokenizer(*bundle_);
  V2State state = V2State::for_generation(bundle_->model);
  return generate_in(state, query, tools_json, fixed_options(), &callback, hooks).text;
}

GenerationResult V2Engine::generate_stream(std::string_view query, std::string_view tools_json,
                                           const GenerateOptions& options, const StreamCallback& callback,
                                           const CallHooks& hooks) const {
  require_tokenizer(*bundle_);
  V2State state = V2State::for_generation(bundle_->model);
  return generate_in(state, query, tools_json, options, &callback, hooks);
}

std::vector<std::string> V2Engine::run_batch(const std::vector<std::pair<std::string, std::string>>& examples,
                                             const CallHooks& hooks) const {
  require_tokenizer(*bundle_);
  // One state for the whole batch; generate_in resets it before each prompt.
  V2State state = V2State::for_generation(bundle_->model);
  std::vector<std::string> out;
  out.reserve(examples.size());
  for (const auto& [query, tools] : examples)
    out.push_back(generate_in(state, query, tools, fixed_options(), nullptr, hooks).text);
  return out;
}

// ---------------------------------------------------------------------------
// Heads.

std::optional<std::vector<float>> V2Engine::score_text(std::string_view text, uint8_t kind,
                                                       const CallHooks& hooks) const {
  const V2Bundle& b = *bundle_;
  const V2Head* head = first_head(b.model, kind);
  if (!head || !b.tokenizer) return std::nullopt;
  const sp::Tokenizer& tok = *b.tokenizer;
  const V2Model& m = b.model;
  const uint64_t width = m.geom.d_model;

  std::vector<uint32_t> ids;
  ids.push_back(tok.bos_id());
  const std::vector<uint32_t> body = tok.encode(text);
  ids.insert(ids.end(), body.begin(), body.end());
  if (ids.size() > m.geom.max_seq_len) ids.resize(m.geom.max_seq_len);

  engine::ProbePool pool(head->probes, head->num_probes, width);
  PoolObserver obs(pool);
  V2State state(m, m.geom.max_seq_len, 0);
  const uint32_t pad = tok.pad_id();
  for (uint32_t t : ids) {
    if (t >= m.geom.vocab) break;  // a tokenizer larger than the model's vocabulary
    hooks.check();
    obs.enabled = t != pad;
    // Preconditions hold by construction (token < vocab, position < max_seq_len);
    // should a step still refuse, what was pooled so far is scored.
    if (!step_observed(m, state, t, obs)) break;
  }
  auto z = pool.pooled();
  if (!z) return std::nullopt;
  std::vector<float> out = engine::project_head(head->proj, head->bias, *z);
  if (kind == kContrastive) engine::l2_normalise(out);
  return out;
}

std::optional<std::vector<float>> V2Engine::encode_contrastive(std::string_view text, const CallHooks& hooks) const {
  return score_text(text, kContrastive, hooks);
}

uint64_t V2Engine::contrastive_dim() const {
  const V2Head* h = first_head(bundle_->model, kContrastive);
  return h ? h->out_dim : 0;
}

std::optional<float> V2Engine::confidence(std::string_view text, const CallHooks& hooks) const {
  auto out = score_text(text, kConfidence, hooks);
  // A confidence head without outputs has no logit to report.
  if (!out || out->empty()) return std::nullopt;
  return (*out)[0];
}

std::optional<float> V2Engine::confidence_probability(std::string_view text, const CallHooks& hooks) const {
  auto logit = confidence(text, hooks);
  if (!logit) return std::nullopt;
  return sigmoid_f32(*logit);
}

std::optional<float> V2Engine::confidence_for(std::string_view query, std::string_view tools_json,
                                              std::string_view completion, const CallHooks& hooks) const {
  if (!first_head(bundle_->model, kConfidence) || !bundle_->tokenizer) return std::nullopt;
  std::string text = chat::build_prompt(query, tools_json, std::nullopt);
  text.append(completion);
  auto logit = confidence(text, hooks);
  if (!logit) return std::nullopt;
  return sigmoid_f32(*logit);
}

std::vector<std::pair<uint64_t, float>> V2Engine::retrieve_tools(std::string_view query,
                                                                 const std::vector<std::string>& tool_descriptions,
                                                                 uint64_t top_k, const CallHooks& hooks) const {
  if (bundle_->model.heads.empty()) return {};
  auto q = score_text(query, kContrastive, hooks);
  if (!q) return {};
  std::vector<std::pair<uint64_t, float>> scored;
  scored.reserve(tool_descriptions.size());
  for (size_t i = 0; i < tool_descriptions.size(); ++i) {
    auto d = score_text(tool_descriptions[i], kContrastive, hooks);
    if (!d) continue;  // skipped, but the others keep their list positions
    scored.emplace_back(i, engine::dot_shorter(*q, *d));
  }
  return engine::rank_descending(std::move(scored), top_k);
}

engine::Record to_record(const GenerationResult& r) {
  return {{"text", r.text},
          {"tool_call", engine::optional_text(r.tool_call)},
          {"thinking", engine::optional_text(r.thinking)},
          {"token_ids", r.token_ids},
          {"prompt_tokens", r.prompt_tokens},
          {"stop_reason", r.stop_reason.text(engine::kSecondGenerationStops)},
          {"stopped_naturally", r.stop_reason.natural()}};
}

engine::Record to_record(const V2Config& c) {
  return {{"vocab_size", c.vocab_size}, {"d_model", c.d_model},         {"num_heads", c.num_heads},
          {"num_kv_heads", c.num_kv_heads}, {"num_layers", c.num_layers}, {"head_dim", c.head_dim},
          {"max_seq_len", c.max_seq_len}, {"mhc_lanes", c.mhc_lanes},   {"kv_window", c.kv_window},
          {"rope_theta", c.rope_theta},   {"engram_sites", c.engram_sites}};
}

V2Config V2Engine::config() const {
  const V2Geometry& g = bundle_->model.geom;
  return V2Config{g.vocab,       g.d_model,     g.num_heads, g.num_kv_heads, g.num_layers, g.head_dim,
                  g.max_seq_len, g.mhc_lanes,   g.kv_window, g.rope_theta,   g.engram_sites};
}

}  // namespace vorpel::v2

// The third-generation engine: loading, the generation driver over the shared
// token loop, tail streaming, and confidence from the probe heads.
#include "vorpel/v3_engine/v3_engine.hpp"

#include <algorithm>
#include <cmath>

#include "vorpel/chat/extract.hpp"
#include "vorpel/chat/prompt.hpp"
#include "vorpel/constrained/tool_constraint.hpp"
#include "vorpel/constrained/tool_parse.hpp"
#include "vorpel/core/panic.hpp"
#include "vorpel/engine/generation_loop.hpp"
#include "vorpel/engine/sampling.hpp"
#include "vorpel/engine/stream.hpp"
#include "vorpel/v3/forward.hpp"
#include "vorpel/v3/loader.hpp"
#include "vorpel/v3_engine/probe_heads.hpp"

namespace vorpel::v3 {

namespace {

// The session as the shared token loop sees it.
class SessionStepper final : public engine::StepModel {
 public:
  SessionStepper(const V3Model& m, V3Session& s) : m_(m), s_(s) {}
  bool context_full() const override { return s_.positions() >= m_.geom.max_seq_len; }
  std::expected<void, std::string> step(uint32_t t, std::span<float> logits) override {
    v3::step(m_, s_, t, logits);
    return {};
  }

 private:
  const V3Model& m_;
  V3Session& s_;
};

// [bos] + the encoded text, cut to the context; `cut` tells whether it was.
std::vector<uint32_t> encode_cut(const sp::Tokenizer& tok, std::string_view text, uint64_t max_seq_len, bool& cut) {
  std::vector<uint32_t> ids{kBosId};
  const std::vector<uint32_t> body = tok.encode(text);
  ids.insert(ids.end(), body.begin(), body.end());
  cut = ids.size() > max_seq_len;
  if (cut) ids.resize(max_seq_len);
  return ids;
}

float sigmoid_f32(float z) { return 1.0f / (1.0f + std::exp(-z)); }

}  // namespace

struct V3Engine::Precomputed {
  std::shared_ptr<const constrained::TokenBytesIndex> token_bytes;
};

V3Engine::V3Engine(std::shared_ptr<const V3Bundle> bundle) : bundle_(std::move(bundle)) {
  VORPEL_CHECK(bundle_ != nullptr, "V3Engine needs a loaded bundle");
  auto pre = std::make_shared<Precomputed>();
  pre->token_bytes = std::make_shared<const constrained::TokenBytesIndex>(bundle_->tokenizer.piece_bytes());
  pre_ = std::move(pre);
}

std::expected<V3Engine, LoadError> V3Engine::load(const std::string& trov_path) {
  auto b = load_v3_file(trov_path);
  if (!b) return std::unexpected(std::move(b.error()));
  return V3Engine(std::make_shared<const V3Bundle>(std::move(*b)));
}

std::expected<V3Engine, LoadError> V3Engine::from_bytes(std::vector<uint8_t> trov_bytes) {
  auto b = load_v3(std::move(trov_bytes));
  if (!b) return std::unexpected(std::move(b.error()));
  return V3Engine(std::make_shared<const V3Bundle>(std::move(*b)));
}

std::expected<V3Engine, LoadError> V3Engine::load_with_depth(const std::string& path, uint64_t layers) {
  auto b = load_v3_file(path, layers);
  if (!b) return std::unexpected(std::move(b.error()));
  return V3Engine(std::make_shared<const V3Bundle>(std::move(*b)));
}

// ---------------------------------------------------------------------------
// Generation driver.

V3Result V3Engine::generate_impl(std::string_view query, std::string_view tools_json,
                                 const V3GenerateOptions& options, const PieceCallback* callback,
                                 const CallHooks& hooks) const {
  const V3Bundle& b = *bundle_;
  const V3Model& m = b.model;
  const uint64_t max_seq = m.geom.max_seq_len;
  const std::string prompt = chat::build_prompt(
      query, tools_json, options.system ? std::optional<std::string_view>(*options.system) : std::nullopt);
  bool cut = false;
  const std::vector<uint32_t> ids = encode_cut(b.tokenizer, prompt, max_seq, cut);
  const uint64_t L = ids.size();
  const uint64_t wanted = options.max_new_tokens == 0 ? kDefaultBudget : options.max_new_tokens;
  const uint64_t budget = std::min(wanted, max_seq - L);

  V3Session session(m, L + budget, options.kv_int8);
  std::vector<float> logits(m.geom.logit_rows);
  prefill(m, session, ids, LogitsFor::Last, logits, nullptr, [&hooks] { hooks.check(); });

  // The constraint needs both markers to switch on and off.
  std::optional<constrained::ToolConstraint> constraint;
  if (options.constrain && b.special.tool_call_open && b.special.tool_call_close) {
    auto tools = constrained::parse_tools(tools_json);
    if (!tools.empty()) {
      constraint.emplace(tools, pre_->token_bytes);
      constraint->set_used_key_filter(true);
    }
  }
  engine::ConstraintUse cu;
  cu.constraint = constraint ? &*constraint : nullptr;
  cu.open = b.special.tool_call_open;
  cu.close = b.special.tool_call_close;
  engine::LoopSpec spec;
  spec.budget = budget;
  spec.eos = kEosId;
  spec.im_end = b.special.im_end;
  auto chooser = engine::TokenChooser::third_generation(options.temperature, options.seed);
  engine::TailStream stream(b.tokenizer);
  std::function<void(uint32_t)> on_token;
  if (callback) on_token = [&](uint32_t t) {
      const std::string_view piece = stream.push(t);
      if (!piece.empty()) (*callback)(piece);
    };
  SessionStepper stepper(m, session);
  engine::LoopResult loop = engine::generation_loop(stepper, logits, chooser, cu, spec, on_token, hooks);

  V3Result res;
  res.token_ids = std::move(loop.ids);
  res.stop_reason = std::move(loop.stop);
  // A zero budget leaves no room at all only when the prompt fills the context.
  if (budget == 0 && L >= max_seq) res.stop_reason = {engine::StopKind::ContextLimit, {}};
  // A cut prompt always reports the context limit, whatever ended the loop.
  if (cut) res.stop_reason = {engine::StopKind::ContextLimit, {}};
  if (callback) {
    const std::string_view rest = stream.finish();
    if (!rest.empty()) (*callback)(rest);
  }
  res.text = b.tokenizer.decode(res.token_ids);
  res.tool_call = chat::extract_tool_call_trimmed(res.text);
  res.reasoning = chat::extract_reasoning_trimmed(res.text);
  res.positions = session.positions();
  return res;
}

V3Result V3Engine::generate(std::string_view query, std::string_view tools_json, const V3GenerateOptions& options,
                            const CallHooks& hooks) const {
  return generate_impl(query, tools_json, options, nullptr, hooks);
}

V3Result V3Engine::generate_stream(std::string_view query, std::string_view tools_json,
                                   const V3GenerateOptions& options, const PieceCallback& callback,
                                   const CallHooks& hooks) const {
  return generate_impl(query, tools_json, options, &callback, hooks);
}

std::string V3Engine::run(std::string_view query, std::string_view tools_json, const CallHooks& hooks) const {
  return generate(query, tools_json, V3GenerateOptions{}, hooks).text;
}

std::optional<std::string> V3Engine::run_json(std::string_view query, std::string_view tools_json,
                                              const CallHooks& hooks) const {
  return generate(query, tools_json, V3GenerateOptions{}, hooks).tool_call;
}

std::string V3Engine::run_stream(std::string_view query, std::string_view tools_json, const PieceCallback& callback,
                                 const CallHooks& hooks) const {
  return generate_impl(query, tools_json, V3GenerateOptions{}, &callback, hooks).text;
}

// ---------------------------------------------------------------------------
// Confidence.

bool V3Engine::has_confidence() const { return bundle_->model.confidence_head() != nullptr; }

std::optional<float> V3Engine::confidence_for(std::string_view query, std::string_view tools_json,
                                              std::string_view completion, const CallHooks& hooks) const {
  const V3Model& m = bundle_->model;
  const V3ProbeHead* head = m.confidence_head();
  if (!head) return std::nullopt;
  std::string text = chat::build_prompt(query, tools_json, std::nullopt);
  text.append(completion);
  bool cut = false;
  const std::vector<uint32_t> ids = encode_cut(bundle_->tokenizer, text, m.geom.max_seq_len, cut);
  ProbePooling pooling(m, *head);
  V3Session session(m, ids.size(), false);
  prefill(m, session, ids, LogitsFor::None, {}, &pooling, [&hooks] { hooks.check(); });
  const auto logit = pooling.logit();
  if (!logit) return std::nullopt;
  return sigmoid_f32(*logit);
}

std::pair<V3Result, std::optional<float>> V3Engine::run_scored(std::string_view query, std::string_view tools_json,
                                                               const CallHooks& hooks) const {
  V3Result r = generate(query, tools_json, V3GenerateOptions{}, hooks);
  std::optional<float> c = confidence_for(query, tools_json, r.text, hooks);
  return {std::move(r), c};
}

std::optional<unsigned __int128> V3Engine::kv_bytes(uint64_t seq_len, bool kv_int8) const {
  return v3::kv_bytes(bundle_->model.geom, bundle_->model.blocks, seq_len, kv_int8);
}

uint64_t V3Engine::num_layers() const { return bundle_->model.geom.num_layers; }
uint64_t V3Engine::max_seq_len() const { return bundle_->model.geom.max_seq_len; }

std::optional<std::string> V3Engine::reasoning(std::string_view text) { return chat::extract_reasoning_trimmed(text); }
std::optional<std::string> V3Engine::extract_tool_call(std::string_view text) {
  return chat::extract_tool_call_trimmed(text);
}

engine::Record to_record(const V3Result& r) {
  return {{"text", r.text},
          {"tool_call", engine::optional_text(r.tool_call)},
          {"reasoning", engine::optional_text(r.reasoning)},
          {"token_ids", r.token_ids},
          {"stop_reason", r.stop_reason.text(engine::kThirdGenerationStops)},
          {"positions", r.positions}};
}

engine::Record scored_record(const V3Result& r) {
  return {{"text", r.text},
          {"tool_call", engine::optional_text(r.tool_call)},
          {"reasoning", engine::optional_text(r.reasoning)},
          {"stop_reason", r.stop_reason.text(engine::kThirdGenerationStops)}};
}

}  // namespace vorpel::v3

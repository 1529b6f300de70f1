// The second-generation engine as the front ends (Python module, CLI) see it:
// an immutable loaded bundle plus the text operations over it. Every call
// creates its own decode state, sampler and constraint.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vorpel/engine/call_hooks.hpp"
#include "vorpel/engine/load_error.hpp"
#include "vorpel/engine/record.hpp"
#include "vorpel/engine/stop.hpp"

namespace vorpel::v2 {

struct V2Bundle;  // geometry, weights, heads and optional tokenizer (vorpel/v2/bundle.hpp)
class V2State;

using engine::StopKind;
using engine::StopReason;

struct GenerateOptions {
  uint64_t max_new_tokens = 128;
  float temperature = 0.0f;
  uint64_t seed = 0;
  std::optional<std::string> system;
  bool constrain = false;
};

struct GenerationResult {
  StopReason stop_reason;  // texts: engine::kSecondGenerationStops
  std::string text;
  std::optional<std::string> tool_call;
  std::optional<std::string> thinking;
  std::vector<uint32_t> token_ids;
  uint64_t prompt_tokens = 0;
};

struct V2Config {
  uint64_t vocab_size, d_model, num_heads, num_kv_heads, num_layers, head_dim, max_seq_len, mhc_lanes,
      kv_window;
  float rope_theta;
  std::vector<uint64_t> engram_sites;
};

// The records the front ends print: generate()'s keys "text", "tool_call",
// "thinking", "token_ids", "prompt_tokens", "stop_reason", "stopped_naturally";
// config()'s geometry keys.
engine::Record to_record(const GenerationResult& r);
engine::Record to_record(const V2Config& c);

// Called once per kept token with its id and the text it adds to the output.
// The engine does not catch what it throws: a front end that wants callback
// failures ignored catches them inside the callback.
using StreamCallback = std::function<void(uint32_t token_id, std::string_view piece)>;

class V2Engine {
 public:
  static std::expected<V2Engine, LoadError> load(const std::string& trov_path);
  static std::expected<V2Engine, LoadError> from_bytes(std::vector<uint8_t> trov_bytes);

  // Text operations throw vorpel::Panic when the container has no tokenizer.
  std::string run(std::string_view query, std::string_view tools_json, const CallHooks& hooks = {}) const;
  std::optional<std::string> run_json(std::string_view query, std::string_view tools_json,
                                      const CallHooks& hooks = {}) const;
  GenerationResult generate(std::string_view query, std::string_view tools_json, const GenerateOptions& options,
                            const CallHooks& hooks = {}) const;
  std::string run_stream(std::string_view query, std::string_view tools_json, const StreamCallback& callback,
                         const CallHooks& hooks = {}) const;
  // generate() with the streaming callback of run_stream (used by the CLI).
  GenerationResult generate_stream(std::string_view query, std::string_view tools_json, const GenerateOptions& options,
                                   const StreamCallback& callback, const CallHooks& hooks = {}) const;
  std::vector<std::string> run_batch(const std::vector<std::pair<std::string, std::string>>& examples,
                                     const CallHooks& hooks = {}) const;

  std::optional<std::vector<float>> encode_contrastive(std::string_view text, const CallHooks& hooks = {}) const;
  uint64_t contrastive_dim() const;
  std::optional<float> confidence_for(std::string_view query, std::string_view tools_json,
                                      std::string_view completion, const CallHooks& hooks = {}) const;
  // None also for a confidence head with out_dim 0 (it has no first output).
  std::optional<float> confidence(std::string_view text, const CallHooks& hooks = {}) const;
  std::optional<float> confidence_probability(std::string_view text, const CallHooks& hooks = {}) const;
  std::vector<std::pair<uint64_t, float>> retrieve_tools(std::string_view query,
                                                         const std::vector<std::string>& tool_descriptions,
                                                         uint64_t top_k, const CallHooks& hooks = {}) const;
  V2Config config() const;

  const V2Bundle& bundle() const { return *bundle_; }

  explicit V2Engine(std::shared_ptr<const V2Bundle> bundle);

 private:
  // The whole generation pipeline on a caller-owned state (reset here);
  // `callback` may be null.
  GenerationResult generate_in(V2State& state, std::string_view query, std::string_view tools_json,
                               const GenerateOptions& options, const StreamCallback* callback,
                               const CallHooks& hooks) const;
  // Output of the first head of `kind` for a text, or nothing (no such head,
  // no tokenizer, nothing pooled). Contrastive outputs are L2-normalised.
  std::optional<std::vector<float>> score_text(std::string_view text, uint8_t kind, const CallHooks& hooks) const;

  std::shared_ptr<const V2Bundle> bundle_;
  struct Precomputed;  // per-engine tables built once at load (token bytes index, special ids)
  std::shared_ptr<const Precomputed> pre_;
};

}  // namespace vorpel::v2

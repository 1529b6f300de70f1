// The third-generation engine as the front ends see it: an immutable loaded
// model (full or one rung) with its tokenizer and probe heads, and the text
// operations over it. Every call creates its own session, sampler and
// constraint. What this generation does differently from the second: fixed
// bos 2 / eos 1, the prompt cut to the context, a budget sized to what is
// left, a cache sized to the session (f32 or int8), sampling from the seed
// itself, the used-key filter, trimmed extraction, tail streaming and
// confidence from probe heads pooled over every cell.
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

namespace vorpel::v3 {

struct V3Bundle;

inline constexpr uint32_t kBosId = 2;
inline constexpr uint32_t kEosId = 1;
// Token budget of run, run_json, run_stream and run_scored, and of generate's 0.
inline constexpr uint64_t kDefaultBudget = 256;

struct V3GenerateOptions {
  uint64_t max_new_tokens = 0;  // 0 means kDefaultBudget
  float temperature = 0.0f;
  uint64_t seed = 0;
  std::optional<std::string> system;
  bool constrain = false;
  bool kv_int8 = false;
};

struct V3Result {
  std::string text;
  std::optional<std::string> tool_call;
  std::optional<std::string> reasoning;
  std::vector<uint32_t> token_ids;
  engine::StopReason stop_reason;  // texts: engine::kThirdGenerationStops
  uint64_t positions = 0;          // cache positions used: prompt plus tokens run through the model
};

// generate()'s record: "text", "tool_call", "reasoning", "token_ids",
// "stop_reason", "positions"; run_scored()'s: "text", "tool_call",
// "reasoning", "stop_reason".
engine::Record to_record(const V3Result& r);
engine::Record scored_record(const V3Result& r);

// Called with each newly settled piece of the decoded text (never empty).
using PieceCallback = std::function<void(std::string_view piece)>;

class V3Engine {
 public:
  static std::expected<V3Engine, LoadError> load(const std::string& trov_path);
  static std::expected<V3Engine, LoadError> from_bytes(std::vector<uint8_t> trov_bytes);
  // The rung of `layers` blocks ("depth is outside the ladder" when there is none).
  static std::expected<V3Engine, LoadError> load_with_depth(const std::string& path, uint64_t layers);

  std::string run(std::string_view query, std::string_view tools_json, const CallHooks& hooks = {}) const;
  std::optional<std::string> run_json(std::string_view query, std::string_view tools_json,
                                      const CallHooks& hooks = {}) const;
  V3Result generate(std::string_view query, std::string_view tools_json, const V3GenerateOptions& options,
                    const CallHooks& hooks = {}) const;
  std::string run_stream(std::string_view query, std::string_view tools_json, const PieceCallback& callback,
                         const CallHooks& hooks = {}) const;
  // generate() with the stream of run_stream (the CLI's --stream).
  V3Result generate_stream(std::string_view query, std::string_view tools_json, const V3GenerateOptions& options,
                           const PieceCallback& callback, const CallHooks& hooks = {}) const;

  bool has_confidence() const;
  std::optional<float> confidence_for(std::string_view query, std::string_view tools_json,
                                      std::string_view completion, const CallHooks& hooks = {}) const;
  std::pair<V3Result, std::optional<float>> run_scored(std::string_view query, std::string_view tools_json,
                                                       const CallHooks& hooks = {}) const;
  // Exact; nothing only when the figure passes 128 bits.
  std::optional<unsigned __int128> kv_bytes(uint64_t seq_len, bool kv_int8) const;

  uint64_t num_layers() const;
  uint64_t max_seq_len() const;

  static std::optional<std::string> reasoning(std::string_view text);
  static std::optional<std::string> extract_tool_call(std::string_view text);

  const V3Bundle& bundle() const { return *bundle_; }
  explicit V3Engine(std::shared_ptr<const V3Bundle> bundle);

 private:
  V3Result generate_impl(std::string_view query, std::string_view tools_json, const V3GenerateOptions& options,
                         const PieceCallback* callback, const CallHooks& hooks) const;

  std::shared_ptr<const V3Bundle> bundle_;
  struct Precomputed;  // token bytes index for the constraint, built once at load
  std::shared_ptr<const Precomputed> pre_;
};

}  // namespace vorpel::v3

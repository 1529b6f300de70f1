// The first-generation engine as the front ends see it: a loaded model and
// vocabulary plus the text operations over them (tool-call generation with
// the constraint active from the first token, contrastive embedding, tool
// retrieval). Every call builds its own caches and constraint.
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
#include "vorpel/v1/model.hpp"
#include "vorpel/vocab_tokenizer/vocab.hpp"

namespace vorpel::v1 {

struct V1RunResult {
  std::vector<uint32_t> token_ids;  // generated ids; the end token is never one of them
  std::string text;                 // decoded, prefix stripped, tool names mapped back
};

// What `vorpel run` prints for this generation: "text", "token_ids".
engine::Record to_record(const V1RunResult& r);

// Called for each generated token other than the end token, with its id and
// piece text (U+2581 as a space; "" for an id outside the vocabulary). The
// engine does not catch what it throws: a front end that wants callback
// failures ignored catches them inside the callback.
using StreamCallback = std::function<void(uint32_t token_id, std::string_view piece)>;

class V1Engine {
 public:
  // Reads the weights file, parses it, reads the vocabulary file, then builds
  // the model (warnings on standard error).
  static std::expected<V1Engine, LoadError> load(const std::string& weights_path, const std::string& vocab_path);
  static std::expected<V1Engine, LoadError> from_bytes(std::vector<uint8_t> weights, std::string_view vocab_text);

  std::string run(std::string_view query, std::string_view tools_json, const CallHooks& hooks = {}) const;
  std::string run_stream(std::string_view query, std::string_view tools_json, const StreamCallback& callback,
                         const CallHooks& hooks = {}) const;
  // run() with the generated ids; `callback` may be null.
  V1RunResult generate(std::string_view query, std::string_view tools_json, const StreamCallback* callback,
                       const CallHooks& hooks = {}) const;
  // One run() per (query, tools_json) pair, in order.
  std::vector<std::string> run_batch(const std::vector<std::pair<std::string, std::string>>& examples,
                                     const CallHooks& hooks = {}) const;

  // Unit-length embedding of C values, C zeros for a text without tokens, or
  // nothing without a contrastive head. The text's tokens are cut to the
  // rotary table length, max(max_enc_len, max_dec_len).
  std::optional<std::vector<float>> encode_contrastive(std::string_view text, const CallHooks& hooks = {}) const;
  uint64_t contrastive_dim() const;
  // (index, cosine score) pairs by descending score under the f32 total order,
  // stable, at most top_k; empty without a contrastive head.
  std::vector<std::pair<uint64_t, float>> retrieve_tools(std::string_view query,
                                                         const std::vector<std::string>& tool_descriptions,
                                                         uint64_t top_k, const CallHooks& hooks = {}) const;

  // The encoder input of a query and tools text: query ids, the separator,
  // tool-text ids (names rewritten, white space outside strings removed), cut
  // to max_enc_len; empty when both encodings are empty or max_enc_len is 0.
  std::vector<uint32_t> encoder_input(std::string_view query, std::string_view tools_json) const;

  const V1Model& model() const;
  const vocab::Vocab& vocab() const;

 private:
  struct Loaded;
  explicit V1Engine(std::shared_ptr<const Loaded> loaded) : loaded_(std::move(loaded)) {}
  // Parses the weights and builds the model beside the vocabulary.
  static std::expected<V1Engine, LoadError> assemble(std::vector<uint8_t> weights, vocab::Vocab vocab);

  std::shared_ptr<const Loaded> loaded_;
};

// The tool-text rewriting of the engine, exposed for tests. `pairs` maps a
// name to its replacement: each "name" key's colon is found, and a quoted
// value (after optional JSON white space) equal to some pair's first text is
// replaced by its second; the first matching pair wins.
std::string rewrite_tool_names(std::string_view text, const std::vector<std::pair<std::string, std::string>>& pairs);
// Removes tab, line feed, form feed, carriage return and space outside JSON
// string literals (a backslash escapes the next character inside one).
std::string remove_space_outside_strings(std::string_view text);

}  // namespace vorpel::v1

// The token loop every generation runs after its prompt pass: constraint
// bias, token choice, stop conditions, bookkeeping and the next model step.
// What differs between generations is passed in as data (stop ids, budget
// rule, constraint use, token choice) and a small model interface.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vorpel/engine/call_hooks.hpp"
#include "vorpel/engine/sampling.hpp"
#include "vorpel/engine/stop.hpp"

namespace vorpel::constrained {
class ToolConstraint;
}

namespace vorpel::engine {

// The model side of the loop: one more position at a time.
class StepModel {
 public:
  virtual ~StepModel() = default;
  // True when no position is left for another step.
  virtual bool context_full() const = 0;
  // Runs token t at the next position and writes the logits that follow it.
  virtual std::expected<void, std::string> step(uint32_t t, std::span<float> logits) = 0;
};

// How the tool-call constraint is switched on and fed. With `always` it biases
// and reads every token from the first (first generation); otherwise the
// "<tool_call>" id arms it (that token is not fed), every later token is fed
// while armed, and "</tool_call>" (or any token once it lost the open id)
// disarms it.
struct ConstraintUse {
  constrained::ToolConstraint* constraint = nullptr;  // null: unconstrained
  bool always = false;
  std::optional<uint32_t> open, close;
};

struct LoopSpec {
  uint64_t budget = 0;  // most tokens appended; 0 stops at once with MaxTokens
  uint32_t eos = 0;
  std::optional<uint32_t> im_end;
  // Whether the token that exhausts the budget is still run through the model
  // (decoder-only generations: it decides the positions used) or not (first).
  bool step_last_token = true;
};

struct LoopResult {
  std::vector<uint32_t> ids;  // appended tokens; the stop token is never one of them
  StopReason stop;
};

// `logits` holds the logits of the next position on entry and is overwritten
// by every step. Per token: poll the hooks; add the constraint bias while it
// restricts; choose; eos -> Eos and im_end -> ImEnd (not appended); append;
// constraint bookkeeping; on_token(t) (may be empty); then, unless the budget
// is used and step_last_token is off, ContextLimit when the model is full,
// else step (an error stops with Error); MaxTokens once the budget is used.
LoopResult generation_loop(StepModel& model, std::span<float> logits, TokenChooser& chooser,
                           const ConstraintUse& constraint, const LoopSpec& spec,
                           const std::function<void(uint32_t)>& on_token, const CallHooks& hooks);

}  // namespace vorpel::engine

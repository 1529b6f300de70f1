// Single-token step of the second-generation model.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "vorpel/v2/errors.hpp"
#include "vorpel/v2/model.hpp"
#include "vorpel/v2/state.hpp"

namespace vorpel::v2 {

// Observer of hidden vectors for head pooling: called on the calling thread with
// the scaled embedding (before it is copied into the lanes) and after every layer
// with the mean of the lanes.
struct HiddenObserver {
  virtual void observe(std::span<const float> hidden) = 0;
  virtual ~HiddenObserver() = default;
};

// Processes `token` at s.position(), writes vocab logits, advances the position.
// Errors (state unchanged): "sequence exceeds max_seq_len", "token id outside
// vocabulary", "logits buffer is not vocab_size long".
std::expected<void, StepError> step(const V2Model& m, V2State& s, uint32_t token, std::span<float> logits);

// Head scoring variant: the vocabulary projection is skipped and the observer
// receives the pooled vectors. Same preconditions minus the logits one.
std::expected<void, StepError> step_observed(const V2Model& m, V2State& s, uint32_t token, HiddenObserver& obs);

// Optional per-component timing of the step, for the benchmark only: a no-op
// (one pointer test per component) unless a sink is installed.
struct StepProfile {
  enum Part : size_t { Embedding, Engram, Mhc, Projections, Attention, HadamardMlp, Logits, kParts };
  uint64_t ns[kParts] = {};
  uint64_t steps = 0;
};
void set_step_profile(StepProfile* sink);  // nullptr disables

}  // namespace vorpel::v2

// The shared token loop.
#include "vorpel/engine/generation_loop.hpp"

#include "vorpel/constrained/tool_constraint.hpp"

namespace vorpel::engine {

LoopResult generation_loop(StepModel& model, std::span<float> logits, TokenChooser& chooser,
                           const ConstraintUse& cu, const LoopSpec& spec,
                           const std::function<void(uint32_t)>& on_token, const CallHooks& hooks) {
  LoopResult res;
  if (spec.budget == 0) {
    res.stop = {StopKind::MaxTokens, {}};
    return res;
  }
  constrained::ToolConstraint* c = cu.constraint;
  bool armed = c != nullptr && cu.always;
  std::vector<float> bias;
  if (c) bias.resize(logits.size());

  for (;;) {
    hooks.check();
    // Outside a name or key capture the bias is all zeros; adding it would
    // change nothing, so it is only computed while the constraint restricts.
    if (armed && c->restricting()) {
      c->bias(std::span<float>(bias));
      for (size_t i = 0; i < logits.size(); ++i) logits[i] += bias[i];
    }
    const uint32_t t = chooser.choose(logits);
    if (t == spec.eos) {
      res.stop = {StopKind::Eos, {}};
      break;
    }
    if (spec.im_end && t == *spec.im_end) {
      res.stop = {StopKind::ImEnd, {}};
      break;
    }
    res.ids.push_back(t);

    if (c) {
      if (cu.always) {
        c->feed(t);
      } else if (cu.open && t == *cu.open) {
        armed = true;
      } else if (armed && !(cu.close && t == *cu.close)) {
        c->feed(t);
      } else {
        armed = false;
      }
    }
    if (on_token) on_token(t);

    const bool budget_used = res.ids.size() == spec.budget;
    if (budget_used && !spec.step_last_token) {
      res.stop = {StopKind::MaxTokens, {}};
      break;
    }
    if (model.context_full()) {
      res.stop = {StopKind::ContextLimit, {}};
      break;
    }
    if (auto r = model.step(t, logits); !r) {
      res.stop = {StopKind::Error, std::move(r.error())};
      break;
    }
    if (budget_used) {
      res.stop = {StopKind::MaxTokens, {}};
      break;
    }
  }
  return res;
}

}  // namespace vorpel::engine

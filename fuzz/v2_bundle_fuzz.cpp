// Second-generation bundles: the input is the container. A bundle that loads
// runs a prefill, some single steps (one with a head observer) and a reset;
// the tokens come from the input's last bytes, some outside the vocabulary.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "field_mutator.hpp"
#include "vorpel/v2/batch.hpp"
#include "vorpel/v2/bundle.hpp"
#include "vorpel/v2/forward.hpp"
#include "vorpel/v2/state.hpp"
#include "vorpel/engine/heads.hpp"

using namespace vorpel::v2;
using vorpel::engine::ProbePool;
using vorpel::engine::project_head;
using vorpel::engine::l2_normalise;

namespace {
// Pools the observed hidden vectors for every head of the model.
struct Sink : HiddenObserver {
  std::vector<ProbePool> pools;
  explicit Sink(const V2Model& m) {
    for (const V2Head& h : m.heads) pools.emplace_back(h.probes, h.num_probes, m.geom.d_model);
  }
  void observe(std::span<const float> h) override {
    for (auto& p : pools) p.add(h);
  }
};
}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned seed) {
  return mutate_container_word(data, size, max_size, seed, 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto bundle = load_v2_bundle(std::vector<uint8_t>(data, data + size));
  if (!bundle) return 0;
  const V2Model& m = bundle->model;
  const uint64_t vocab = m.geom.vocab;
  std::vector<uint32_t> tokens;
  for (size_t i = 0; i < 12 && 2 * i + 1 < size; ++i) {
    const uint32_t raw = data[size - 1 - 2 * i] | (uint32_t{data[size - 2 - 2 * i]} << 8);
    tokens.push_back(static_cast<uint32_t>(raw % (vocab + 2)));
  }
  std::vector<float> logits(vocab);
  V2State s = V2State::for_generation(m);
  // A token past the vocabulary is an error that leaves the state alone; a
  // call that succeeds advances the position by its token count.
  auto expect = [&](bool ok, bool has_bad, uint64_t before, uint64_t n, const char* what) {
    if ((has_bad && ok) || s.position() != (ok ? before + n : before)) {
      std::fprintf(stderr, "%s: ok %d, bad token %d, position %llu -> %llu\n", what, ok, has_bad,
                   static_cast<unsigned long long>(before), static_cast<unsigned long long>(s.position()));
      std::abort();
    }
  };
  const auto first = std::span<const uint32_t>(tokens).first(tokens.size() / 2);
  uint64_t before = s.position();
  const bool first_ok = prefill(m, s, first, std::span<float>(logits)).has_value();
  expect(first_ok, std::ranges::any_of(first, [&](uint32_t t) { return t >= vocab; }), before, first.size(), "prefill");
  for (size_t i = tokens.size() / 2; i < tokens.size(); ++i) {
    before = s.position();
    expect(step(m, s, tokens[i], logits).has_value(), tokens[i] >= vocab, before, 1, "step");
  }
  Sink obs(m);
  if (!tokens.empty() && step_observed(m, s, tokens[0] % (vocab ? vocab : 1), obs)) {
    for (size_t i = 0; i < m.heads.size(); ++i) {
      const auto z = obs.pools[i].pooled();
      if (!z) std::abort();
      std::vector<float> out = project_head(m.heads[i].proj, m.heads[i].bias, *z);
      if (out.size() != m.heads[i].out_dim) std::abort();
      l2_normalise(out);
    }
  }
  std::vector<float> wrong(vocab + 1);
  before = s.position();
  expect(step(m, s, 0, wrong).has_value(), true, before, 1, "step with a logits buffer of vocab + 1");
  s.reset();
  if (!tokens.empty()) (void)prefill(m, s, tokens, std::nullopt);

  // The prompt pass must agree with single steps over the same in-vocabulary
  // tokens (up to summation order, so relative to the logits' scale).
  if (vocab > 0 && tokens.size() >= 2) {
    std::vector<uint32_t> in_vocab;
    for (uint32_t t : tokens) in_vocab.push_back(t % vocab);
    std::vector<float> by_prefill(vocab), by_step(vocab);
    V2State a = V2State::for_generation(m), b = V2State::for_generation(m);
    const bool pa = prefill(m, a, in_vocab, std::span<float>(by_prefill)).has_value();
    bool pb = true;
    for (uint32_t t : in_vocab) pb = pb && step(m, b, t, by_step).has_value();
    if (pa != pb) {
      std::fprintf(stderr, "prefill %d but steps %d\n", pa, pb);
      std::abort();
    }
    if (pa) {
      double scale = 1.0;
      bool finite = true;
      for (uint64_t i = 0; i < vocab; ++i) {
        finite = finite && std::isfinite(by_step[i]) && std::isfinite(by_prefill[i]);
        if (std::isfinite(by_step[i])) scale = std::max(scale, std::fabs(double{by_step[i]}));
      }
      for (uint64_t i = 0; finite && i < vocab; ++i) {
        if (std::fabs(double{by_prefill[i]} - by_step[i]) > 1e-3 * scale) {
          std::fprintf(stderr, "logit %zu: prefill %g, steps %g (scale %g)\n", static_cast<size_t>(i),
                       by_prefill[i], by_step[i], scale);
          std::abort();
        }
      }
    }
  }
  if (bundle->tokenizer) {
    std::vector<uint32_t> ids = bundle->tokenizer->encode("{\"name\": \"x\"} \xe2\x96\x81 \xff");
    (void)bundle->tokenizer->decode(ids);
  }
  return 0;
}

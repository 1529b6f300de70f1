// Greedy and seeded temperature sampling over one logits vector.
#include "vorpel/v2_engine/sampling.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "vorpel/core/panic.hpp"

namespace vorpel::v2 {

uint32_t greedy_token(std::span<const float> logits) {
  uint32_t best = 0;
  float best_v = -std::numeric_limits<float>::infinity();
  bool found = false;
  for (size_t i = 0; i < logits.size(); ++i) {
    const float v = logits[i];
    if (std::isnan(v)) continue;
    // Strictly greater keeps the lowest index on ties; -inf still counts so
    // an all -inf vector picks its first entry.
    if (!found || v > best_v) {
      best = static_cast<uint32_t>(i);
      best_v = v;
      found = true;
    }
  }
  return best;
}

namespace {

// exp of a single-precision argument, rounded to single precision. Below
// -104 the result is 0 in round-to-nearest (the smallest subnormal is about
// e^-103.3), so masked or far-off tokens skip the call without changing a bit.
inline float term(float v, float m, float tau) {
  const float x = (v - m) * tau;
  return x < -104.0f ? 0.0f : std::exp(x);
}

}  // namespace

uint32_t sample_token(std::span<const float> logits, float temperature, SplitMix& rng, std::vector<float>& terms) {
  VORPEL_CHECK(!logits.empty(), "sampling over an empty logits vector");
  const float tau = 1.0f / std::max(temperature, 1e-6f);
  float m = -std::numeric_limits<float>::infinity();
  for (float v : logits)
    if (!std::isnan(v) && v > m) m = v;

  // Each term is rounded to single precision before entering the double sum;
  // the walk subtracts the very same terms.
  terms.resize(logits.size());
  double z = 0.0;
  for (size_t j = 0; j < logits.size(); ++j) {
    terms[j] = term(logits[j], m, tau);
    z += static_cast<double>(terms[j]);
  }

  const double u = rng.next_unit();
  double x = u * z;
  for (size_t j = 0; j < logits.size(); ++j) {
    x -= static_cast<double>(terms[j]);
    if (x <= 0.0) return static_cast<uint32_t>(j);
  }
  return static_cast<uint32_t>(logits.size() - 1);
}

uint32_t sample_token(std::span<const float> logits, float temperature, SplitMix& rng) {
  std::vector<float> terms;
  return sample_token(logits, temperature, rng, terms);
}

uint32_t choose_token(std::span<const float> logits, float temperature, SplitMix& rng, std::vector<float>& terms) {
  if (temperature <= 0.0f || std::isnan(temperature)) return greedy_token(logits);
  return sample_token(logits, temperature, rng, terms);
}

uint32_t choose_token(std::span<const float> logits, float temperature, SplitMix& rng) {
  std::vector<float> terms;
  return choose_token(logits, temperature, rng, terms);
}

}  // namespace vorpel::v2

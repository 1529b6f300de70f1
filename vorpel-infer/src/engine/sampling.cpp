// Greedy choices and seeded temperature sampling over one logits vector.
#include "vorpel/engine/sampling.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "vorpel/core/panic.hpp"
#include "vorpel/engine/heads.hpp"

namespace vorpel::engine {

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

uint32_t greedy_total_order(std::span<const float> logits) {
  uint32_t best = 0;
  uint32_t best_key = 0;
  for (size_t i = 0; i < logits.size(); ++i) {
    const uint32_t key = total_order_key(logits[i]);
    // Greater or equal moves ties to the later (higher) index.
    if (i == 0 || key >= best_key) {
      best = static_cast<uint32_t>(i);
      best_key = key;
    }
  }
  return best;
}

namespace {

// exp of a single-precision argument, rounded to single precision. Below
// -104 the result is 0 in round-to-nearest (the smallest subnormal is about
// e^-103.3), so masked or far-off tokens skip the call without changing a bit.
inline float term(float x) { return x < -104.0f ? 0.0f : std::exp(x); }

}  // namespace

uint32_t sample_token(std::span<const float> logits, float temperature, TemperatureRule rule, SplitMix& rng,
                      std::vector<float>& terms) {
  VORPEL_CHECK(!logits.empty(), "sampling over an empty logits vector");
  float m = -std::numeric_limits<float>::infinity();
  for (float v : logits)
    if (!std::isnan(v) && v > m) m = v;

  // Each term is rounded to single precision before entering the double sum;
  // the walk subtracts the very same terms.
  terms.resize(logits.size());
  double z = 0.0;
  if (rule == TemperatureRule::InverseProduct) {
    const float tau = 1.0f / std::max(temperature, 1e-6f);
    for (size_t j = 0; j < logits.size(); ++j) z += static_cast<double>(terms[j] = term((logits[j] - m) * tau));
  } else {
    for (size_t j = 0; j < logits.size(); ++j) z += static_cast<double>(terms[j] = term((logits[j] - m) / temperature));
  }

  const double u = rng.next_unit();
  double x = u * z;
  for (size_t j = 0; j < logits.size(); ++j) {
    x -= static_cast<double>(terms[j]);
    if (x <= 0.0) return static_cast<uint32_t>(j);
  }
  return static_cast<uint32_t>(logits.size() - 1);
}

uint32_t TokenChooser::choose(std::span<const float> logits) {
  if (temperature_ <= 0.0f || std::isnan(temperature_))
    return greedy_ == GreedyRule::TotalOrderHighestId ? greedy_total_order(logits) : greedy_token(logits);
  return sample_token(logits, temperature_, rule_, rng_, terms_);
}

}  // namespace vorpel::engine

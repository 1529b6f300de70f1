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

uint32_t sample_token(std::span<const float> logits, float temperature, SplitMix& rng) {
  VORPEL_CHECK(!logits.empty(), "sampling over an empty logits vector");
  const float tau = 1.0f / std::max(temperature, 1e-6f);
  float m = -std::numeric_limits<float>::infinity();
  for (float v : logits)
    if (!std::isnan(v) && v > m) m = v;

  // Each term is rounded to single precision before entering the double sum;
  // the walk below recomputes the identical single-precision terms.
  double z = 0.0;
  for (float v : logits) z += static_cast<double>(std::exp((v - m) * tau));

  const double u = rng.next_unit();
  double x = u * z;
  for (size_t j = 0; j < logits.size(); ++j) {
    x -= static_cast<double>(std::exp((logits[j] - m) * tau));
    if (x <= 0.0) return static_cast<uint32_t>(j);
  }
  return static_cast<uint32_t>(logits.size() - 1);
}

uint32_t choose_token(std::span<const float> logits, float temperature, SplitMix& rng) {
  if (temperature <= 0.0f || std::isnan(temperature)) return greedy_token(logits);
  return sample_token(logits, temperature, rng);
}

}  // namespace vorpel::v2

// Token choice for second-generation generation: greedy arg-max and seeded
// temperature sampling, with the SplitMix-style generator that makes a seed
// reproduce the same tokens on every call.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vorpel::v2 {

inline constexpr uint64_t kSplitMixGamma = 0x9E3779B97F4A7C15ull;

// 64-bit SplitMix sequence. The state starts at seed + gamma (wrapping), so
// seed 0 is an ordinary seed; every draw advances by gamma before mixing.
class SplitMix {
 public:
  explicit SplitMix(uint64_t seed) : state_(seed + kSplitMixGamma) {}

  uint64_t next_u64() {
    state_ += kSplitMixGamma;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1): the top 53 bits scaled by 2^-53.
  double next_unit() { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }

  uint64_t state() const { return state_; }

 private:
  uint64_t state_;
};

// Index of the largest logit, the lowest index on ties. NaN logits never win
// (they compare false); an all-NaN or empty vector gives index 0.
uint32_t greedy_token(std::span<const float> logits);

// One sampling step at temperature > 0, drawing exactly one value from rng.
// Terms exp((l - max) * tau) are single precision (tau = 1 / max(t, 1e-6) in
// single precision); their sum and the threshold walk are double precision.
// If the walk never crosses zero (rounding, NaN terms) the last index wins.
// Precondition: logits is non-empty.
// `terms` is scratch for the per-token terms (reused across calls to avoid
// an allocation per step).
uint32_t sample_token(std::span<const float> logits, float temperature, SplitMix& rng, std::vector<float>& terms);
uint32_t sample_token(std::span<const float> logits, float temperature, SplitMix& rng);

// Greedy when temperature <= 0 or NaN (no draw), otherwise sample_token.
uint32_t choose_token(std::span<const float> logits, float temperature, SplitMix& rng, std::vector<float>& terms);
uint32_t choose_token(std::span<const float> logits, float temperature, SplitMix& rng);

}  // namespace vorpel::v2

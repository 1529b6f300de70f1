// Token choice for every generation: greedy arg-max (lowest id on ties for the
// decoder-only generations, the f32 total order with the highest id on ties
// for the first), and seeded temperature sampling with a SplitMix generator.
// The generations differ in where the generator starts and in how the
// temperature scales the logits; a TokenChooser carries those differences.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vorpel::engine {

inline constexpr uint64_t kSplitMixGamma = 0x9E3779B97F4A7C15ull;

// 64-bit SplitMix sequence starting from the given state; every draw
// advances the state by gamma before mixing.
class SplitMix {
 public:
  explicit SplitMix(uint64_t state) : state_(state) {}

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

// Largest logit under the IEEE total order of f32 (a NaN with the sign bit
// clear above +inf, one with it set below -inf), the highest index on ties.
// An empty vector gives 0.
uint32_t greedy_total_order(std::span<const float> logits);

// How a sampling step turns a logit l (max m) into its unnormalised weight.
enum class TemperatureRule : uint8_t {
  InverseProduct,  // exp((l - m) * tau), tau = 1 / max(t, 1e-6) in single precision
  Quotient,        // exp((l - m) / t)
};

// One sampling step at temperature > 0, drawing exactly one value from rng.
// Each term is single precision; their sum and the threshold walk are double
// precision. If the walk never crosses zero (rounding, NaN terms) the last
// index wins. `terms` is scratch reused across calls. Precondition: logits
// is non-empty.
uint32_t sample_token(std::span<const float> logits, float temperature, TemperatureRule rule, SplitMix& rng,
                      std::vector<float>& terms);

// Which maximum a greedy choice takes.
enum class GreedyRule : uint8_t {
  LowestId,             // greedy_token
  TotalOrderHighestId,  // greedy_total_order
};

// The token choice of one generation call: greedy at temperature <= 0 (or
// NaN, with no draw), else sampling with the generation's rule.
class TokenChooser {
 public:
  TokenChooser(float temperature, TemperatureRule rule, uint64_t initial_state,
               GreedyRule greedy = GreedyRule::LowestId)
      : temperature_(temperature), rule_(rule), greedy_(greedy), rng_(initial_state) {}
  // The first generation only decodes greedily, by the total order.
  static TokenChooser first_generation() {
    return TokenChooser(0.0f, TemperatureRule::Quotient, 0, GreedyRule::TotalOrderHighestId);
  }
  // The second generation starts its generator at seed + gamma (wrapping), so
  // seed 0 is an ordinary seed; the third starts it at the seed itself.
  static TokenChooser second_generation(float temperature, uint64_t seed) {
    return TokenChooser(temperature, TemperatureRule::InverseProduct, seed + kSplitMixGamma);
  }
  static TokenChooser third_generation(float temperature, uint64_t seed) {
    return TokenChooser(temperature, TemperatureRule::Quotient, seed);
  }

  uint32_t choose(std::span<const float> logits);
  const SplitMix& rng() const { return rng_; }

 private:
  float temperature_;
  TemperatureRule rule_;
  GreedyRule greedy_;
  SplitMix rng_;
  std::vector<float> terms_;
};

}  // namespace vorpel::engine

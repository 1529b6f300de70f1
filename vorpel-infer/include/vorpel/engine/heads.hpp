// Read-out heads shared by the generations: probe pooling of hidden
// vectors by an online softmax per probe, the projection to the head output,
// and the ranking used by tool retrieval.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace vorpel::engine {

// Attention-style pooling of a stream of width-W vectors with P probes. For
// each probe the weights are softmax(probe . v / sqrt(W)) over every vector
// seen, kept online (running max, weight sum, weighted accumulator) so the
// stream is never stored.
class ProbePool {
 public:
  // probes: (num_probes, width), row-major; must outlive the pool.
  ProbePool(std::span<const float> probes, uint64_t num_probes, uint64_t width);

  void add(std::span<const float> v);
  uint64_t count() const { return count_; }

  // Concatenated pooled vectors (num_probes * width), or nothing when no
  // vector was added.
  std::optional<std::vector<float>> pooled() const;

 private:
  std::span<const float> probes_;
  uint64_t num_probes_, width_;
  float sqrt_width_;
  std::vector<float> max_;  // (num_probes)
  std::vector<float> sum_;  // (num_probes)
  std::vector<float> acc_;  // (num_probes, width)
  uint64_t count_ = 0;
};

// proj (out_dim, in) . z + bias, in = z.size().
std::vector<float> project_head(std::span<const float> proj, std::span<const float> bias,
                                std::span<const float> z);

// Divides by sqrt(sum of squares + 1e-12); the epsilon keeps an all-zero
// output finite.
void l2_normalise(std::span<float> v);

// Dot product over the first min(|a|, |b|) elements.
float dot_shorter(std::span<const float> a, std::span<const float> b);

// Sorts (index, score) pairs by descending score under the IEEE total order
// of f32 (a NaN with the sign bit clear above +inf, one with it set below
// -inf), stably, and keeps the first min(top_k, count).
std::vector<std::pair<uint64_t, float>> rank_descending(std::vector<std::pair<uint64_t, float>> scored,
                                                        uint64_t top_k);

// Key whose unsigned order is the IEEE total order of f32.
uint32_t total_order_key(float v);

}  // namespace vorpel::engine

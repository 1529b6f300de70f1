// Probe pooling, head projection and retrieval ranking.
#include "vorpel/engine/heads.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "vorpel/core/panic.hpp"

namespace vorpel::engine {

ProbePool::ProbePool(std::span<const float> probes, uint64_t num_probes, uint64_t width)
    : probes_(probes),
      num_probes_(num_probes),
      width_(width),
      sqrt_width_(std::sqrt(static_cast<float>(width))),
      max_(num_probes, -std::numeric_limits<float>::infinity()),
      sum_(num_probes, 0.0f),
      acc_(num_probes * width, 0.0f) {
  VORPEL_CHECK(probes.size() == num_probes * width, "head probes length does not match num_probes * width");
}

void ProbePool::add(std::span<const float> v) {
  VORPEL_CHECK(v.size() == width_, "pooled vector width does not match the head width");
  for (uint64_t i = 0; i < num_probes_; ++i) {
    const float* p = probes_.data() + i * width_;
    float d = 0.0f;
    for (uint64_t j = 0; j < width_; ++j) d += p[j] * v[j];
    const float score = d / sqrt_width_;
    float* a = acc_.data() + i * width_;
    if (max_[i] < score) {
      // A new maximum rescales what was accumulated under the old one; from
      // -inf nothing was accumulated yet, so the factor is plainly 0.
      const float f = std::isinf(max_[i]) && max_[i] < 0 ? 0.0f : std::exp(max_[i] - score);
      sum_[i] *= f;
      for (uint64_t j = 0; j < width_; ++j) a[j] *= f;
      max_[i] = score;
    }
    const float w = std::exp(score - max_[i]);
    sum_[i] += w;
    for (uint64_t j = 0; j < width_; ++j) a[j] += w * v[j];
  }
  ++count_;
}

std::optional<std::vector<float>> ProbePool::pooled() const {
  if (count_ == 0) return std::nullopt;
  std::vector<float> z(acc_.size());
  for (uint64_t i = 0; i < num_probes_; ++i)
    for (uint64_t j = 0; j < width_; ++j) z[i * width_ + j] = acc_[i * width_ + j] / sum_[i];
  return z;
}

std::vector<float> project_head(std::span<const float> proj, std::span<const float> bias,
                                std::span<const float> z) {
  const size_t out_dim = bias.size();
  const size_t in = z.size();
  VORPEL_CHECK(proj.size() == out_dim * in, "head proj shape does not match out_dim * input width");
  std::vector<float> out(out_dim);
  for (size_t r = 0; r < out_dim; ++r) {
    const float* row = proj.data() + r * in;
    double acc = 0.0;
    for (size_t c = 0; c < in; ++c) acc += static_cast<double>(row[c]) * z[c];
    out[r] = static_cast<float>(acc) + bias[r];
  }
  return out;
}

void l2_normalise(std::span<float> v) {
  double ss = 0.0;
  for (float x : v) ss += static_cast<double>(x) * x;
  const float norm = static_cast<float>(std::sqrt(ss + 1e-12));
  for (float& x : v) x /= norm;
}

float dot_shorter(std::span<const float> a, std::span<const float> b) {
  const size_t n = std::min(a.size(), b.size());
  float d = 0.0f;
  for (size_t i = 0; i < n; ++i) d += a[i] * b[i];
  return d;
}

uint32_t total_order_key(float v) {
  const uint32_t bits = std::bit_cast<uint32_t>(v);
  // Negative values reverse (larger magnitude is smaller); positive ones sit
  // above all negatives.
  return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

std::vector<std::pair<uint64_t, float>> rank_descending(std::vector<std::pair<uint64_t, float>> scored,
                                                        uint64_t top_k) {
  std::stable_sort(scored.begin(), scored.end(), [](const auto& a, const auto& b) {
    return total_order_key(a.second) > total_order_key(b.second);
  });
  if (scored.size() > top_k) scored.resize(static_cast<size_t>(top_k));
  return scored;
}

}  // namespace vorpel::engine

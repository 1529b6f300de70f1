// Probe pooling per cell and the read-out combination.
#include "vorpel/v3_engine/probe_heads.hpp"

#include <cmath>

#include "vorpel/core/panic.hpp"
#include "vorpel/ops/vector_ops.hpp"

namespace vorpel::v3 {

ProbePooling::ProbePooling(const V3Model& m, const V3ProbeHead& head) : head_(head), width_(m.geom.d_model) {
  const uint64_t P = head.probes_per_cell;
  pools_.reserve(head.cells);
  for (uint64_t c = 0; c < head.cells; ++c)
    pools_.emplace_back(std::span<const float>(head.probes).subspan(c * P * width_, P * width_), P, width_);
}

void ProbePooling::observe(uint64_t cell, std::span<const float> hidden) {
  VORPEL_CHECK(cell < pools_.size(), "probe pooling: cell out of range");
  pools_[cell].add(hidden);
}

std::optional<float> ProbePooling::logit() const {
  std::vector<float> items;
  items.reserve(head_.items() * width_);
  for (const engine::ProbePool& p : pools_) {
    auto z = p.pooled();
    if (!z) return std::nullopt;
    items.insert(items.end(), z->begin(), z->end());
  }
  const std::vector<float> out = combine_items(head_, width_, std::move(items));
  if (out.empty()) return std::nullopt;
  return out[0];
}

std::vector<float> combine_items(const V3ProbeHead& head, uint64_t width, std::vector<float> items) {
  const uint64_t K = head.items(), R = head.readouts;
  VORPEL_CHECK(items.size() == K * width, "probe head: pooled items do not match the head");
  for (uint64_t k = 0; k < K; ++k) {
    std::span<float> p(items.data() + k * width, width);
    ops::rms_normalize(p, p);
    for (float& v : p) v *= head.item_scales[k];
  }
  const float root = std::sqrt(static_cast<float>(width));
  std::vector<float> concat(R * width, 0.0f), w(K);
  for (uint64_t q = 0; q < R; ++q) {
    const float* u = head.queries.data() + q * width;
    for (uint64_t k = 0; k < K; ++k) w[k] = ops::dot(u, items.data() + k * width, width) / root + head.biases[q * K + k];
    ops::softmax_uniform_fallback(w);
    float* r = concat.data() + q * width;
    for (uint64_t k = 0; k < K; ++k) ops::axpy(r, w[k], items.data() + k * width, width);
  }
  std::vector<float> out(head.out_dim);
  for (uint64_t o = 0; o < head.out_dim; ++o) {
    const float bias = o < head.bias.size() ? head.bias[o] : 0.0f;
    out[o] = ops::dot(head.proj.data() + o * R * width, concat.data(), R * width) + bias;
  }
  return out;
}

}  // namespace vorpel::v3

// Confidence from a probe head: every cell's hidden vectors pooled per probe
// by an online softmax over the positions of the scored text, then the pooled
// items normalised, scaled and read out by attention into one logit.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "vorpel/engine/heads.hpp"
#include "vorpel/v3/forward.hpp"
#include "vorpel/v3/model.hpp"

namespace vorpel::v3 {

class ProbePooling final : public CellObserver {
 public:
  ProbePooling(const V3Model& m, const V3ProbeHead& head);

  void observe(uint64_t cell, std::span<const float> hidden) override;

  // out_0 of the head, or nothing when no position was pooled.
  std::optional<float> logit() const;

 private:
  const V3ProbeHead& head_;
  uint64_t width_;
  std::vector<engine::ProbePool> pools_;  // one per cell
};

// The combination of the pooled items (items x width, cell-major) into the
// head's outputs: RMS-normalised items times their scales, read-out attention
// per query with its biases, projection plus bias.
std::vector<float> combine_items(const V3ProbeHead& head, uint64_t width, std::vector<float> items);

}  // namespace vorpel::v3

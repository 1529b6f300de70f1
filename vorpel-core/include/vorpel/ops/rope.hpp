// Rotary position tables: cos/sin of p / theta^(2j/head_dim) for the first
// positions, computed the same way on the fly past them, so a model declaring
// a huge context costs no more table memory than a small one.
#pragma once

#include <cstdint>
#include <vector>

namespace vorpel::ops {

class RopeTable {
 public:
  RopeTable() = default;
  // Tables for min(positions, cap) positions and head_dim/2 frequencies; the
  // cap keeps them at about 2^20 floats. head_dim must be non-zero; when it
  // is odd, the last element of each head vector is not rotated.
  RopeTable(uint64_t head_dim, float theta, uint64_t positions);

  // The angle of position p, frequency j: p / theta^(2j/head_dim) in single precision.
  float angle(uint64_t p, uint64_t j) const;
  void at(uint64_t p, uint64_t j, float& c, float& s) const;
  // Rotates the half-split pairs (x[j], x[j + head_dim/2]) of each of `heads`
  // vectors (head_dim apart) to position p.
  void rotate(float* x, uint64_t heads, uint64_t p) const;

  uint64_t head_dim() const { return head_dim_; }
  uint64_t tabled_positions() const { return positions_; }

 private:
  uint64_t head_dim_ = 0, positions_ = 0;
  float theta_ = 0.0f;
  std::vector<float> cos_, sin_;  // (positions, head_dim/2)
};

}  // namespace vorpel::ops

// Rotary tables and the rotation of head vectors.
#include "vorpel/ops/rope.hpp"

#include <algorithm>
#include <cmath>

#include "vorpel/core/panic.hpp"
#include "vorpel/ops/vector_ops.hpp"

namespace vorpel::ops {

namespace {
// Tables are capped at this many floats; positions past them are computed on
// the fly with the same formula, so results do not change.
constexpr uint64_t kTableFloats = uint64_t{1} << 20;
}  // namespace

RopeTable::RopeTable(uint64_t head_dim, float theta, uint64_t positions)
    : head_dim_(head_dim), theta_(theta) {
  VORPEL_CHECK(head_dim >= 1, "rotary tables need a non-zero head_dim");
  const uint64_t half = head_dim / 2;
  // An odd head_dim leaves its last element unrotated; head_dim 1 rotates nothing.
  positions_ = half == 0 ? 0 : std::min(positions, std::max<uint64_t>(1, kTableFloats / half));
  cos_.assign(positions_ * half, 0.0f);
  sin_.assign(positions_ * half, 0.0f);
  for (uint64_t p = 0; p < positions_; ++p)
    for (uint64_t j = 0; j < half; ++j) {
      const float a = angle(p, j);
      cos_[p * half + j] = std::cos(a);
      sin_[p * half + j] = std::sin(a);
    }
}

float RopeTable::angle(uint64_t p, uint64_t j) const {
  const float expo = static_cast<float>(2 * j) / static_cast<float>(head_dim_);
  return static_cast<float>(p) / std::pow(theta_, expo);
}

void RopeTable::at(uint64_t p, uint64_t j, float& c, float& s) const {
  const uint64_t half = head_dim_ / 2;
  if (p < positions_) {
    c = cos_[p * half + j];
    s = sin_[p * half + j];
    return;
  }
  const float a = angle(p, j);
  c = std::cos(a);
  s = std::sin(a);
}

void RopeTable::rotate(float* x, uint64_t heads, uint64_t p) const {
  const uint64_t hd = head_dim_, half = hd / 2;
  if (p < positions_) {
    const float* c = cos_.data() + p * half;
    const float* s = sin_.data() + p * half;
    for (uint64_t h = 0; h < heads; ++h) rope_rotate(x + h * hd, c, s, half, half);
    return;
  }
  // Past the tables: cos/sin of this position in slices of 256 frequencies.
  constexpr uint64_t kSlice = 256;
  float c[kSlice], s[kSlice];
  for (uint64_t j0 = 0; j0 < half; j0 += kSlice) {
    const uint64_t nj = std::min(kSlice, half - j0);
    for (uint64_t j = 0; j < nj; ++j) at(p, j0 + j, c[j], s[j]);
    for (uint64_t h = 0; h < heads; ++h) rope_rotate(x + h * hd + j0, c, s, nj, half);
  }
}

}  // namespace vorpel::ops

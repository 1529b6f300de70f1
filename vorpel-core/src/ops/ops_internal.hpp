// Scalar kernels that more than one ops file uses as its portable path.
#pragma once

#include <cstdint>

#include "vorpel/core/cpu_features.hpp"

namespace vorpel::ops::detail {

// Eight partial sums combined pairwise: the portable dot product.
float dot_portable(const float* a, const float* b, uint64_t n);
void axpy_portable(float* y, float a, const float* x, uint64_t n);

// Read on every call (one relaxed load) so tests can switch levels.
inline bool use_avx2() { return cpu::active_level() != cpu::SimdLevel::Portable; }
inline bool use_avx512() { return cpu::active_level() == cpu::SimdLevel::Avx512; }

}  // namespace vorpel::ops::detail

// Fast Walsh-Hadamard transform in natural (Sylvester) order, in place.
#pragma once

#include <cstddef>
#include <span>

namespace vorpel {

// Normalised transform (butterflies, then a single-precision 1/sqrt(n) scale);
// orthonormal and symmetric, so it is its own inverse. Panics with
// "FWHT length must be a power of two" unless a.size() is a power of two.
void fwht(std::span<float> a);

// fwht on each whole block of b elements; a trailing remainder shorter than b
// is left untouched. Panics with "chunk size must be non-zero" for b == 0.
void fwht_blockwise(std::span<float> a, size_t b);

// The unnormalised butterflies only (same power-of-two precondition).
void fwht_butterfly(std::span<float> a);

}  // namespace vorpel

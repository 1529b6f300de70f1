// The instruction-set levels this machine can run, and a guard that forces one
// for a scope, for tests that check every kernel path.
#pragma once

#include <vector>

#include "vorpel/core/cpu_features.hpp"

namespace simdtest {

using vorpel::cpu::SimdLevel;

inline std::vector<SimdLevel> levels() {
  std::vector<SimdLevel> out{SimdLevel::Portable};
  if (vorpel::cpu::has_avx2()) out.push_back(SimdLevel::Avx2);
  if (vorpel::cpu::has_avx512()) out.push_back(SimdLevel::Avx512);
  return out;
}

struct LevelGuard {
  explicit LevelGuard(SimdLevel l) { vorpel::cpu::set_simd_override(l); }
  ~LevelGuard() { vorpel::cpu::set_simd_override(SimdLevel::Auto); }
  LevelGuard(const LevelGuard&) = delete;
  LevelGuard& operator=(const LevelGuard&) = delete;
};

}  // namespace simdtest

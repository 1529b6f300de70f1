// Run-time CPU feature checks for the kernels' SIMD paths.
#pragma once

namespace vorpel::cpu {

// AVX2 (CPUID leaf 7 sub-leaf 0 EBX bit 5, with FMA and OS-enabled YMM state);
// tested once per process.
bool has_avx2();
// AVX-512 F/BW/DQ/VL with OS-enabled ZMM state; tested once per process.
bool has_avx512();

// The dispatch level the kernels use. Auto picks the best level present.
enum class SimdLevel { Auto, Portable, Avx2, Avx512 };

// Test and benchmark hook: force a level (clamped to what the CPU has).
// Not for concurrent use with running kernels.
void set_simd_override(SimdLevel level);

// The level the kernels use now (never Auto).
SimdLevel active_level();

}  // namespace vorpel::cpu

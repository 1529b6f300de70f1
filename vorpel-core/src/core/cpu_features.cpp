// CPUID/XGETBV feature checks, each tested once per process, and the kernels'
// dispatch level (a process-wide atomic so the hot paths read it cheaply).
#include "vorpel/core/cpu_features.hpp"

#include <atomic>
#include <cstdint>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace vorpel::cpu {
namespace {

enum : int { kUntested = 0, kPresent = 1, kAbsent = 2 };

#if defined(__x86_64__)
uint64_t xgetbv0() {
  uint32_t eax, edx;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<uint64_t>(edx) << 32) | eax;
}

bool leaf7(uint32_t& ebx) {
  uint32_t eax, ecx, edx;
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  return true;
}

// OSXSAVE set and the OS saves the state components in `mask`.
bool os_saves(uint64_t mask) {
  uint32_t eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  if ((ecx & (1u << 27)) == 0) return false;
  return (xgetbv0() & mask) == mask;
}

bool detect_avx2() {
  uint32_t eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  const bool fma = (ecx & (1u << 12)) != 0;
  uint32_t ebx7 = 0;
  if (!leaf7(ebx7)) return false;
  const bool avx2 = (ebx7 & (1u << 5)) != 0;
  // Without YMM state saved by the OS the instructions would fault.
  return avx2 && fma && os_saves(0x6);
}

bool detect_avx512() {
  uint32_t ebx7 = 0;
  if (!detect_avx2() || !leaf7(ebx7)) return false;
  const uint32_t need = (1u << 16) | (1u << 17) | (1u << 30) | (1u << 31);  // F, DQ, BW, VL
  return (ebx7 & need) == need && os_saves(0xE6);
}
#else
bool detect_avx2() { return false; }
bool detect_avx512() { return false; }
#endif

bool cached(std::atomic<int>& flag, bool (*detect)()) {
  int v = flag.load(std::memory_order_relaxed);
  if (v == kUntested) {
    v = detect() ? kPresent : kAbsent;
    flag.store(v, std::memory_order_relaxed);
  }
  return v == kPresent;
}

std::atomic<int> g_avx2{kUntested};
std::atomic<int> g_avx512{kUntested};

// 0 = not chosen yet; else 1 + the SimdLevel value.
std::atomic<int> g_level{0};

SimdLevel best_level() {
  if (has_avx512()) return SimdLevel::Avx512;
  if (has_avx2()) return SimdLevel::Avx2;
  return SimdLevel::Portable;
}

SimdLevel clamp(SimdLevel want) {
  const SimdLevel best = best_level();
  if (want == SimdLevel::Auto) return best;
  return static_cast<int>(want) < static_cast<int>(best) ? want : best;
}

}  // namespace

bool has_avx2() { return cached(g_avx2, detect_avx2); }
bool has_avx512() { return cached(g_avx512, detect_avx512); }

void set_simd_override(SimdLevel level) {
  g_level.store(1 + static_cast<int>(clamp(level)), std::memory_order_relaxed);
}

SimdLevel active_level() {
  int v = g_level.load(std::memory_order_relaxed);
  if (v == 0) {
    v = 1 + static_cast<int>(best_level());
    g_level.store(v, std::memory_order_relaxed);
  }
  return static_cast<SimdLevel>(v - 1);
}

}  // namespace vorpel::cpu

// Counts every operator new in a test binary, for tests that a path allocates
// nothing. It replaces the global allocation functions, so exactly one file
// of a binary includes it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace alloctest {
inline std::atomic<size_t> g_allocations{0};
}  // namespace alloctest

void* operator new(size_t n) {
  alloctest::g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

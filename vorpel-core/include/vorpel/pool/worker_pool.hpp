// Process-wide worker pool: a parallel-for over disjoint chunks with a join.
// The pool is created on first use and lives until the process exits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>

namespace vorpel::pool {

// Pool size rule, as a pure function of the two environment values (either may
// be null): `rayon_num_threads` wins when it holds a positive decimal integer,
// else `rayon_rs_num_cpus` read the same way, else `default_count`. A value of
// 0 or anything that is not a plain decimal number falls through. Never 0.
size_t parse_thread_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                        size_t default_count);

// CPUs in the process's affinity mask (at least 1).
size_t affinity_cpu_count();

// Number of threads working on a parallel_for (the caller included): the
// affinity count, overridden by RAYON_NUM_THREADS / RAYON_RS_NUM_CPUS.
// Computed once, at first use.
size_t thread_count();

// Runs fn(0) .. fn(n_chunks-1), each exactly once, spread over the pool; the
// calling thread takes chunks too and returns when all are done. If chunks
// throw, the others still run and the first exception is rethrown here. A call
// made from inside a chunk runs its chunks serially on that thread.
void parallel_for(size_t n_chunks, const std::function<void(size_t chunk)>& fn);

namespace detail {
using ChunkFn = void (*)(void* ctx, size_t chunk);
void parallel_for_raw(size_t n_chunks, ChunkFn fn, void* ctx);
}  // namespace detail

// Same, for any callable, without building a std::function (whose captures
// would otherwise be copied to the heap on every call).
template <class F>
  requires(!std::is_same_v<std::remove_cvref_t<F>, std::function<void(size_t)>> &&
           std::is_invocable_v<F&, size_t>)
void parallel_for(size_t n_chunks, F&& fn) {
  using Fn = std::remove_reference_t<F>;
  detail::parallel_for_raw(
      n_chunks, [](void* ctx, size_t chunk) { (*static_cast<Fn*>(ctx))(chunk); },
      const_cast<void*>(static_cast<const void*>(std::addressof(fn))));
}

// Runs fn(j) for every j < n, split into at most thread_count() contiguous
// ranges over the pool (on the calling thread alone for one thread or n <= 1).
template <class Fn>
void for_each_index(uint64_t n, Fn&& fn) {
  const uint64_t T = thread_count();
  if (T <= 1 || n <= 1) {
    for (uint64_t j = 0; j < n; ++j) fn(j);
    return;
  }
  const uint64_t chunks = n < T ? n : T;
  const uint64_t per = (n + chunks - 1) / chunks;
  parallel_for(chunks, [&](size_t c) {
    const uint64_t j1 = (c + 1) * per < n ? (c + 1) * per : n;
    for (uint64_t j = c * per; j < j1; ++j) fn(j);
  });
}

}  // namespace vorpel::pool

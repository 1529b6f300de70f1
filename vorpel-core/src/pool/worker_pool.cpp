// The process-wide worker pool. Workers claim chunk indices from a shared
// counter, so any number of them (including none) completes a job; the caller
// claims chunks too and then waits until every worker has left the job, since
// the job refers to the caller's function object.
#include "vorpel/pool/worker_pool.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VORPEL_SPIN_PAUSE() _mm_pause()
#else
#define VORPEL_SPIN_PAUSE() std::this_thread::yield()
#endif

namespace vorpel::pool {
namespace {

// Parses a plain decimal count ("+" allowed, as the usual integer parsers do).
// Returns -1 for anything else, including overflow.
int64_t parse_count(const char* s) {
  if (s == nullptr) return -1;
  if (*s == '+') ++s;
  if (*s == '\0') return -1;
  uint64_t v = 0;
  for (; *s != '\0'; ++s) {
    if (*s < '0' || *s > '9') return -1;
    v = v * 10 + static_cast<uint64_t>(*s - '0');
    if (v > (uint64_t{1} << 40)) return -1;
  }
  return static_cast<int64_t>(v);
}

// Worker threads actually started are capped: a huge count in the environment
// must not exhaust the process. The count used for splitting work stays as set.
constexpr size_t kMaxWorkers = 1024;

// Workers spin this long after a job before sleeping: a decode step issues
// about a hundred short jobs back to back.
constexpr auto kSpinTime = std::chrono::microseconds(60);

thread_local bool t_inside_chunk = false;

class Pool {
 public:
  // Spinning only pays when every worker has a CPU of its own.
  Pool(size_t workers, bool spin) : spin_time_(spin ? kSpinTime : std::chrono::microseconds(0)) {
    threads_.reserve(workers);
    for (size_t i = 0; i < workers; ++i) {
      try {
        threads_.emplace_back([this] { worker_loop(); });
      } catch (const std::system_error&) {
        break;  // fewer workers only means slower jobs
      }
    }
  }

  // Returns false when another thread is using the pool (caller runs serially).
  bool run(size_t n, detail::ChunkFn fn, void* ctx) {
    std::unique_lock<std::mutex> submit(submit_mutex_, std::try_to_lock);
    if (!submit.owns_lock()) return false;
    {
      std::lock_guard<std::mutex> lk(mutex_);
      fn_ = fn;
      ctx_ = ctx;
      n_chunks_ = n;
      next_.store(0, std::memory_order_relaxed);
      error_ = nullptr;
      open_ = true;
      generation_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_all();

    t_inside_chunk = true;
    work();
    t_inside_chunk = false;

    {
      std::lock_guard<std::mutex> lk(mutex_);
      open_ = false;  // no worker joins after this
    }
    // Every chunk is claimed now; wait for the workers that hold one.
    const auto spin_until = std::chrono::steady_clock::now() + spin_time_;
    while (busy_.load(std::memory_order_acquire) != 0 && std::chrono::steady_clock::now() < spin_until)
      VORPEL_SPIN_PAUSE();
    if (busy_.load(std::memory_order_acquire) != 0) {
      std::unique_lock<std::mutex> lk(mutex_);
      done_.wait(lk, [&] { return busy_.load(std::memory_order_acquire) == 0; });
    }
    std::exception_ptr err;
    {
      std::lock_guard<std::mutex> lk(mutex_);
      err = error_;
      error_ = nullptr;
      fn_ = nullptr;
      ctx_ = nullptr;
    }
    if (err) std::rethrow_exception(err);
    return true;
  }

 private:
  void work() {
    const detail::ChunkFn fn = fn_;
    void* const ctx = ctx_;
    const size_t n = n_chunks_;
    for (;;) {
      const size_t c = next_.fetch_add(1, std::memory_order_relaxed);
      if (c >= n) break;
      try {
        fn(ctx, c);
      } catch (...) {
        std::lock_guard<std::mutex> lk(mutex_);
        if (!error_) error_ = std::current_exception();
      }
    }
  }

  void worker_loop() {
    t_inside_chunk = true;  // anything a chunk submits runs serially
    uint64_t seen = 0;
    for (;;) {
      const auto spin_until = std::chrono::steady_clock::now() + spin_time_;
      unsigned spins = 0;
      while (generation_.load(std::memory_order_acquire) == seen) {
        VORPEL_SPIN_PAUSE();
        if ((++spins & 63) == 0 && std::chrono::steady_clock::now() >= spin_until) break;
      }
      {
        std::unique_lock<std::mutex> lk(mutex_);
        wake_.wait(lk, [&] { return generation_.load(std::memory_order_relaxed) != seen; });
        seen = generation_.load(std::memory_order_relaxed);
        if (!open_) continue;  // woke after the job closed
        busy_.fetch_add(1, std::memory_order_relaxed);
      }
      work();
      if (busy_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::lock_guard<std::mutex> lk(mutex_);
        done_.notify_all();
      }
    }
  }

  const std::chrono::microseconds spin_time_;
  std::mutex submit_mutex_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::atomic<uint64_t> generation_{0};
  std::atomic<size_t> next_{0};
  std::atomic<size_t> busy_{0};
  bool open_ = false;
  detail::ChunkFn fn_ = nullptr;
  void* ctx_ = nullptr;
  size_t n_chunks_ = 0;
  std::exception_ptr error_;
  std::vector<std::thread> threads_;
};

// Created on first use and deliberately never destroyed: idle workers blocked
// on its condition variable must not see it torn down during static destruction.
Pool* global_pool() {
  static Pool* pool =
      new Pool(std::min(thread_count() - 1, kMaxWorkers), thread_count() <= affinity_cpu_count());
  return pool;
}

void run_serial(size_t n, detail::ChunkFn fn, void* ctx) {
  std::exception_ptr err;
  for (size_t c = 0; c < n; ++c) {
    try {
      fn(ctx, c);
    } catch (...) {
      if (!err) err = std::current_exception();
    }
  }
  if (err) std::rethrow_exception(err);
}

}  // namespace

size_t parse_thread_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                        size_t default_count) {
  const size_t fallback = std::max<size_t>(default_count, 1);
  const int64_t primary = parse_count(rayon_num_threads);
  if (primary > 0) return static_cast<size_t>(primary);
  if (primary == 0) return fallback;
  const int64_t secondary = parse_count(rayon_rs_num_cpus);
  if (secondary > 0) return static_cast<size_t>(secondary);
  return fallback;
}

size_t affinity_cpu_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<size_t>(n);
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? hw : 1;
}

size_t thread_count() {
  static const size_t count = parse_thread_env(std::getenv("RAYON_NUM_THREADS"),
                                               std::getenv("RAYON_RS_NUM_CPUS"), affinity_cpu_count());
  return count;
}

void detail::parallel_for_raw(size_t n_chunks, ChunkFn fn, void* ctx) {
  if (n_chunks == 0) return;
  if (n_chunks == 1) {
    fn(ctx, 0);
    return;
  }
  if (t_inside_chunk || thread_count() == 1) {
    run_serial(n_chunks, fn, ctx);
    return;
  }
  if (!global_pool()->run(n_chunks, fn, ctx)) run_serial(n_chunks, fn, ctx);
}

void parallel_for(size_t n_chunks, const std::function<void(size_t chunk)>& fn) {
  detail::parallel_for_raw(
      n_chunks, [](void* ctx, size_t chunk) { (*static_cast<const std::function<void(size_t)>*>(ctx))(chunk); },
      const_cast<void*>(static_cast<const void*>(&fn)));
}

}  // namespace vorpel::pool

// CQ matrix-vector and batched products beside a plain f32 matvec and
// read-only streams, cache-resident and from DRAM (many distinct weight copies
// cycled, > 256 MB). The pool size is fixed per process: run the binary with
// RAYON_NUM_THREADS=1 and =2 and compare figures within one run.
// GCC 12 flags the intrinsics' own "undefined" upper halves as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "vorpel/core/cpu_features.hpp"
#include "vorpel/cq/cq_kernels.hpp"
#include "vorpel/hadamard/fwht.hpp"
#include "vorpel/pool/worker_pool.hpp"

namespace {

constexpr size_t kDramBytes = size_t{288} << 20;

struct Shape {
  uint64_t rows, cols;
};
constexpr Shape kShapes[] = {{576, 576}, {1536, 576}, {576, 2304}, {49152, 576}, {2304, 576}};
constexpr uint8_t kCodes[] = {2, 3, 4, 5};

std::vector<uint8_t> encoded_bytes(uint64_t rows, uint64_t cols, uint64_t b, uint8_t code, unsigned seed) {
  const uint32_t bits = code == 5 ? 2 : code;
  const uint64_t padded = (cols + b - 1) / b * b;
  const uint64_t index = rows * bits * padded / 8, scales = rows * (padded / b);
  std::vector<uint8_t> bytes(index + 2 * scales);
  std::mt19937 rng(seed);
  for (uint64_t i = 0; i < index; ++i) bytes[i] = static_cast<uint8_t>(rng());
  for (uint64_t i = 0; i < scales; ++i) {
    const uint16_t h = static_cast<uint16_t>(0x2C00 | (rng() & 0x3FF) | ((rng() & 1) << 15));
    std::memcpy(&bytes[index + 2 * i], &h, 2);
  }
  return bytes;
}

std::vector<float> codebook() {
  std::vector<float> cb(28);
  for (size_t i = 0; i < 28; ++i) cb[i] = 0.1f * static_cast<float>(i) - 1.4f;
  return cb;
}

size_t weight_bytes(const vorpel::cq::CqTensor& t) { return t.codes().size(); }

// copies == 0: one tensor (cache-resident); else as many copies as fill kDramBytes.
std::vector<vorpel::cq::CqTensor> tensors(const Shape& s, uint8_t code, bool dram) {
  const std::vector<uint8_t> bytes = encoded_bytes(s.rows, s.cols, 64, code, 17);
  const std::vector<float> cb = codebook();
  const size_t copies = dram ? std::max<size_t>(2, kDramBytes / bytes.size() + 1) : 1;
  std::vector<vorpel::cq::CqTensor> out;
  out.reserve(copies);
  std::vector<uint8_t> copy = bytes;
  for (size_t i = 0; i < copies; ++i) {
    // Every copy differs in every cache line, so that no layer below (page
    // merging in a hypervisor, say) can make the copies share memory.
    for (size_t j = i % 61; j < copy.size(); j += 61) copy[j] = static_cast<uint8_t>(bytes[j] ^ (i + 1));
    out.push_back(*vorpel::cq::decode(copy, s.rows, s.cols, 64, code, cb));
  }
  return out;
}

void set_counters(benchmark::State& state, double flops_per_iter, double bytes_per_iter) {
  state.counters["GFLOP/s"] = benchmark::Counter(flops_per_iter, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["GB/s"] = benchmark::Counter(bytes_per_iter, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["threads"] = static_cast<double>(vorpel::pool::thread_count());
}

// Per-iteration wall time: the iteration time reported is the mean; `best_us`
// is the fastest iteration, the undisturbed figure on a shared machine as
// long as iterations are short against the scheduler's time slice.
// `best_cpu_us` is the calling thread's CPU time for that span, which with
// one thread is the product's time even when other processes take turns.
class IterTimer {
 public:
  using clock = std::chrono::steady_clock;
  void start() {
    t0_ = clock::now();
    c0_ = thread_cpu();
  }
  // Ends the timed span; it is the iteration's time unless `aside`.
  double stop(benchmark::State& state, bool aside = false) {
    const double s = std::chrono::duration<double>(clock::now() - t0_).count();
    const double c = thread_cpu() - c0_;
    if (!aside) state.SetIterationTime(s);
    times_.push_back(s);
    best_ = std::min(best_, s);
    best_cpu_ = std::min(best_cpu_, c);
    return s;
  }
  double best() const { return best_; }
  double best_cpu() const { return best_cpu_; }
  double median() {
    if (times_.empty()) return 0;
    std::nth_element(times_.begin(), times_.begin() + times_.size() / 2, times_.end());
    return times_[times_.size() / 2];
  }
  void report(benchmark::State& state, double flops) {
    state.counters["best_us"] = 1e6 * best_;
    state.counters["median_us"] = 1e6 * median();
    state.counters["best_cpu_us"] = 1e6 * best_cpu_;
    if (flops > 0) {
      state.counters["best_GFLOP/s"] = flops / best_ / 1e9;
      state.counters["best_cpu_GFLOP/s"] = flops / best_cpu_ / 1e9;
    }
  }

 private:
  static double thread_cpu() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
  }
  clock::time_point t0_;
  double c0_ = 0;
  double best_ = 1e30, best_cpu_ = 1e30;
  std::vector<double> times_;
};

void BM_CqMatvec(benchmark::State& state) {
  const Shape s = kShapes[state.range(0)];
  const uint8_t code = kCodes[state.range(1)];
  const bool dram = state.range(2) != 0;
  const auto ts = tensors(s, code, dram);
  std::vector<float> x(s.cols, 0.5f), y(s.rows);
  size_t i = 0;
  IterTimer timer;
  for (auto _ : state) {
    timer.start();
    vorpel::cq::matvec(ts[i], x, y);
    benchmark::DoNotOptimize(y.data());
    timer.stop(state);
    if (++i == ts.size()) i = 0;
  }
  set_counters(state, 2.0 * s.rows * s.cols, static_cast<double>(weight_bytes(ts[0])));
  timer.report(state, 2.0 * s.rows * s.cols);
}

// 4-bit rows x 576 products of growing height, cache-resident, through
// matvec_rotated: where splitting over the pool starts to pay.
void BM_CqMatvecRows(benchmark::State& state) {
  const Shape s{static_cast<uint64_t>(state.range(0)), 576};
  const auto ts = tensors(s, 4, false);
  std::vector<float> x(s.cols, 0.5f), x_rot(ts[0].padded_cols()), y(s.rows);
  vorpel::cq::rotate_input(ts[0], x, x_rot);
  IterTimer timer;
  for (auto _ : state) {
    timer.start();
    vorpel::cq::matvec_rotated(ts[0], x_rot, 0, y);
    benchmark::DoNotOptimize(y.data());
    timer.stop(state);
  }
  set_counters(state, 2.0 * s.rows * s.cols, static_cast<double>(weight_bytes(ts[0])));
  timer.report(state, 2.0 * s.rows * s.cols);
}

// The same product at each instruction-set level (cache-resident).
void BM_CqMatvecLevel(benchmark::State& state) {
  const Shape s = kShapes[state.range(0)];
  const uint8_t code = kCodes[state.range(1)];
  const auto level = static_cast<vorpel::cpu::SimdLevel>(state.range(2));
  vorpel::cpu::set_simd_override(level);
  if (vorpel::cpu::active_level() != level) {
    vorpel::cpu::set_simd_override(vorpel::cpu::SimdLevel::Auto);
    state.SkipWithError("level not available");
    return;
  }
  const auto ts = tensors(s, code, false);
  std::vector<float> x(s.cols, 0.5f), y(s.rows);
  IterTimer timer;
  for (auto _ : state) {
    timer.start();
    vorpel::cq::matvec(ts[0], x, y);
    benchmark::DoNotOptimize(y.data());
    timer.stop(state);
  }
  vorpel::cpu::set_simd_override(vorpel::cpu::SimdLevel::Auto);
  set_counters(state, 2.0 * s.rows * s.cols, static_cast<double>(weight_bytes(ts[0])));
  timer.report(state, 2.0 * s.rows * s.cols);
}

void BM_CqBatch128(benchmark::State& state) {
  const Shape s = kShapes[state.range(0)];
  const uint8_t code = kCodes[state.range(1)];
  const auto ts = tensors(s, code, false);
  const uint64_t n = 128, pc = ts[0].padded_cols();
  std::vector<float> x_rot(n * pc, 0.25f), out(n * s.rows);
  IterTimer timer;
  for (auto _ : state) {
    timer.start();
    vorpel::cq::matmul_batch(ts[0], x_rot, n, 0, s.rows, out);
    benchmark::DoNotOptimize(out.data());
    timer.stop(state);
  }
  set_counters(state, 2.0 * n * s.rows * s.cols, static_cast<double>(weight_bytes(ts[0])));
  timer.report(state, 2.0 * n * s.rows * s.cols);
}

// Plain f32 matvec, 4 rows per pass, split over the pool like the CQ product.
__attribute__((target("avx2,fma"))) void f32_rows(const float* w, const float* x, uint64_t cols, uint64_t r0,
                                                  uint64_t n, float* y) {
  for (uint64_t r = r0; r < r0 + n; ++r) {
    const float* row = w + r * cols;
    __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    uint64_t c = 0;
    for (; c + 32 <= cols; c += 32) {
      a0 = _mm256_fmadd_ps(_mm256_loadu_ps(row + c), _mm256_loadu_ps(x + c), a0);
      a1 = _mm256_fmadd_ps(_mm256_loadu_ps(row + c + 8), _mm256_loadu_ps(x + c + 8), a1);
      a2 = _mm256_fmadd_ps(_mm256_loadu_ps(row + c + 16), _mm256_loadu_ps(x + c + 16), a2);
      a3 = _mm256_fmadd_ps(_mm256_loadu_ps(row + c + 24), _mm256_loadu_ps(x + c + 24), a3);
    }
    __m256 a = _mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3));
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, a);
    float sum = 0;
    for (float v : lanes) sum += v;
    for (; c < cols; ++c) sum += row[c] * x[c];
    y[r] = sum;
  }
}

void f32_matvec(const float* w, const float* x, uint64_t rows, uint64_t cols, float* y) {
  if (rows >= 128 && rows * cols > 0xFFFFF) {
    const uint64_t t = vorpel::pool::thread_count();
    const uint64_t chunk = std::max<uint64_t>((rows + t - 1) / t, 64);
    vorpel::pool::parallel_for((rows + chunk - 1) / chunk, [&](size_t c) {
      const uint64_t r0 = c * chunk;
      f32_rows(w, x, cols, r0, std::min(chunk, rows - r0), y);
    });
  } else {
    f32_rows(w, x, cols, 0, rows, y);
  }
}

void BM_F32Matvec(benchmark::State& state) {
  const Shape s = kShapes[state.range(0)];
  const bool dram = state.range(1) != 0;
  const size_t bytes = s.rows * s.cols * sizeof(float);
  const size_t copies = dram ? std::max<size_t>(2, kDramBytes / bytes + 1) : 1;
  std::vector<std::vector<float>> ws(copies, std::vector<float>(s.rows * s.cols, 0.01f));
  std::vector<float> x(s.cols, 0.5f), y(s.rows);
  size_t i = 0;
  IterTimer timer;
  for (auto _ : state) {
    timer.start();
    f32_matvec(ws[i].data(), x.data(), s.rows, s.cols, y.data());
    benchmark::DoNotOptimize(y.data());
    timer.stop(state);
    if (++i == copies) i = 0;
  }
  set_counters(state, 2.0 * s.rows * s.cols, static_cast<double>(bytes));
  timer.report(state, 2.0 * s.rows * s.cols);
}

// Eight independent 64-byte loads per step: as fast as one core reads memory.
__attribute__((target("avx512f"))) uint64_t stream_sum(const uint8_t* p, size_t n) {
  __m512i a0 = _mm512_setzero_si512(), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0, a7 = a0;
  size_t i = 0;
  for (; i + 512 <= n; i += 512) {
    a0 = _mm512_add_epi64(a0, _mm512_loadu_si512(p + i));
    a1 = _mm512_add_epi64(a1, _mm512_loadu_si512(p + i + 64));
    a2 = _mm512_add_epi64(a2, _mm512_loadu_si512(p + i + 128));
    a3 = _mm512_add_epi64(a3, _mm512_loadu_si512(p + i + 192));
    a4 = _mm512_add_epi64(a4, _mm512_loadu_si512(p + i + 256));
    a5 = _mm512_add_epi64(a5, _mm512_loadu_si512(p + i + 320));
    a6 = _mm512_add_epi64(a6, _mm512_loadu_si512(p + i + 384));
    a7 = _mm512_add_epi64(a7, _mm512_loadu_si512(p + i + 448));
  }
  uint64_t s = _mm512_reduce_add_epi64(_mm512_add_epi64(_mm512_add_epi64(_mm512_add_epi64(a0, a1), _mm512_add_epi64(a2, a3)),
                                                        _mm512_add_epi64(_mm512_add_epi64(a4, a5), _mm512_add_epi64(a6, a7))));
  for (; i < n; ++i) s += p[i];
  return s;
}

// n bytes read in thread_count() contiguous parts over the pool (one part: inline).
uint64_t stream_parallel(const uint8_t* p, size_t n) {
  const size_t t = vorpel::pool::thread_count();
  if (t == 1) return stream_sum(p, n);
  uint64_t part[64] = {};
  const size_t per = (n / t + 63) / 64 * 64;
  vorpel::pool::parallel_for(t, [&](size_t c) {
    const size_t a = std::min(n, c * per), e = std::min(n, a + per);
    part[c] = stream_sum(p + a, e - a);
  });
  uint64_t s = 0;
  for (size_t c = 0; c < t; ++c) s += part[c];
  return s;
}

// Read-only bandwidth over a 512 MB buffer, split over the pool.
void BM_StreamRead(benchmark::State& state) {
  const size_t n = size_t{512} << 20;
  std::unique_ptr<uint8_t[], decltype(&std::free)> buf(static_cast<uint8_t*>(std::aligned_alloc(64, n)), &std::free);
  for (size_t i = 0; i < n; ++i) buf[i] = static_cast<uint8_t>(i * 2654435761u >> 24);  // no two pages alike
  for (auto _ : state) benchmark::DoNotOptimize(stream_parallel(buf.get(), n));
  set_counters(state, 0.0, static_cast<double>(n));
}

// The CQ product from DRAM against a plain read of the same bytes (the
// tensor's packed codes and scales), interleaved copy by copy so that both
// see the same machine load. Iteration time is the product's; `ratio` is
// product time / stream time.
void BM_CqMatvecVsStream(benchmark::State& state) {
  const Shape s = kShapes[state.range(0)];
  const uint8_t code = kCodes[state.range(1)];
  const auto ts = tensors(s, code, true);
  std::vector<float> x(s.cols, 0.5f), y(s.rows);
  const size_t half = ts.size() / 2;
  double kernel_s = 0, stream_s = 0;
  IterTimer kernel, stream;
  size_t i = 0;
  for (auto _ : state) {
    const auto bytes = ts[(i + half) % ts.size()].codes();
    stream.start();
    benchmark::DoNotOptimize(stream_parallel(bytes.data(), bytes.size()));
    stream_s += stream.stop(state, true);
    kernel.start();
    vorpel::cq::matvec(ts[i], x, y);
    benchmark::DoNotOptimize(y.data());
    kernel_s += kernel.stop(state);
    if (++i == ts.size()) i = 0;
  }
  const double bytes = static_cast<double>(weight_bytes(ts[0]));
  set_counters(state, 2.0 * s.rows * s.cols, bytes);
  kernel.report(state, 2.0 * s.rows * s.cols);
  state.counters["stream_best_us"] = 1e6 * stream.best();
  state.counters["stream_best_GB/s"] = bytes / stream.best() / 1e9;
  state.counters["stream_best_cpu_us"] = 1e6 * stream.best_cpu();
  state.counters["stream_median_us"] = 1e6 * stream.median();
  state.counters["ratio_median"] = kernel.median() / stream.median();
  state.counters["ratio"] = kernel_s / stream_s;
  state.counters["ratio_best"] = kernel.best() / stream.best();
  state.counters["ratio_best_cpu"] = kernel.best_cpu() / stream.best_cpu();
}

// Normalised FWHT of n floats at a given level (1 = portable, 2 = AVX2).
void BM_Fwht(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  vorpel::cpu::set_simd_override(static_cast<vorpel::cpu::SimdLevel>(state.range(1)));
  std::vector<float> a(n, 0.5f);
  for (auto _ : state) {
    vorpel::fwht(a);
    benchmark::DoNotOptimize(a.data());
  }
  vorpel::cpu::set_simd_override(vorpel::cpu::SimdLevel::Auto);
  state.counters["floats/s"] = benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate);
}

// One parallel_for of thread_count() empty chunks: the pool's round trip.
void BM_PoolRoundTrip(benchmark::State& state) {
  const size_t t = vorpel::pool::thread_count();
  std::vector<int> hit(t);
  for (auto _ : state) {
    vorpel::pool::parallel_for(t, [&](size_t c) { hit[c] = 1; });
    benchmark::DoNotOptimize(hit.data());
  }
  state.counters["threads"] = static_cast<double>(t);
}

void CqArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"shape", "code", "dram"});
  for (int s = 0; s < 5; ++s)
    for (int c = 0; c < 4; ++c)
      for (int d = 0; d < 2; ++d) b->Args({s, c, d});
}

void BatchArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"shape", "code"});
  for (int s = 0; s < 5; ++s)
    for (int c = 0; c < 4; ++c) b->Args({s, c});
}

BENCHMARK(BM_CqMatvec)->Apply(CqArgs)->MinTime(0.2)->UseManualTime();
BENCHMARK(BM_CqMatvecRows)->ArgName("rows")->Arg(64)->Arg(128)->Arg(192)->Arg(256)->Arg(384)->Arg(576)->Arg(1024)->MinTime(0.2)->UseManualTime();
BENCHMARK(BM_CqMatvecLevel)
    ->ArgNames({"shape", "code", "level"})
    ->ArgsProduct({{0, 3}, {0, 1, 2, 3}, {1, 2, 3}})
    ->MinTime(0.2)
    ->UseManualTime();
BENCHMARK(BM_CqBatch128)->Apply(BatchArgs)->MinTime(0.2)->UseManualTime();
BENCHMARK(BM_F32Matvec)->ArgNames({"shape", "dram"})->ArgsProduct({{0, 1, 2, 3, 4}, {0, 1}})->MinTime(0.2)->UseManualTime();
BENCHMARK(BM_Fwht)->ArgNames({"n", "level"})->ArgsProduct({{64, 1024}, {1, 2}})->MinTime(0.1);
BENCHMARK(BM_PoolRoundTrip)->MinTime(0.2)->UseRealTime();
BENCHMARK(BM_StreamRead)->MinTime(0.5)->UseRealTime();
BENCHMARK(BM_CqMatvecVsStream)
    ->ArgNames({"shape", "code"})
    ->ArgsProduct({{3}, {0, 1, 2, 3}})
    ->MinTime(0.5)
    ->UseManualTime();

}  // namespace

BENCHMARK_MAIN();

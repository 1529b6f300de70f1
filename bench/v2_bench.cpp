// Second-generation model on a benchmark-sized container: load time and peak
// RSS, decode tokens/s after a 256-token prompt, prefill tokens/s for 128 and
// 512 tokens, and the decode step's time per component. The pool size is fixed
// per process: run once with RAYON_NUM_THREADS=1 and once with 2.
//
//   python -m vorpel_writer.v2 --realistic /tmp/v2_realistic.trov
//   VORPEL_V2_MODEL=/tmp/v2_realistic.trov ./build/bench/v2_bench
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "model_path.hpp"
#include "vorpel/engine/load_error.hpp"
#include "vorpel/pool/worker_pool.hpp"
#include "vorpel/v2/batch.hpp"
#include "vorpel/v2/bundle.hpp"
#include "vorpel/v2/forward.hpp"


namespace {
// Text of any error value of the libraries.
[[maybe_unused]] static std::string msg(const auto& e) {
  using vorpel::message;
  return message(e);
}


std::unique_ptr<vorpel::v2::V2Bundle> g_bundle;

using benchutil::tokens;

void BM_Decode(benchmark::State& state) {
  const auto& m = g_bundle->model;
  auto s = vorpel::v2::V2State::for_generation(m);
  std::vector<float> logits(m.geom.vocab);
  const auto prompt = tokens(256, m.geom.vocab);
  constexpr int kSteps = 32;
  for (auto _ : state) {
    state.PauseTiming();
    s.reset();
    (void)vorpel::v2::prefill(m, s, prompt, std::nullopt);
    state.ResumeTiming();
    for (int i = 0; i < kSteps; ++i) (void)vorpel::v2::step(m, s, static_cast<uint32_t>(100 + i), logits);
    benchmark::DoNotOptimize(logits.data());
  }
  state.SetItemsProcessed(state.iterations() * kSteps);
  state.counters["threads"] = static_cast<double>(vorpel::pool::thread_count());
}

void BM_Prefill(benchmark::State& state) {
  const auto& m = g_bundle->model;
  auto s = vorpel::v2::V2State::for_generation(m);
  std::vector<float> logits(m.geom.vocab);
  const auto prompt = tokens(static_cast<size_t>(state.range(0)), m.geom.vocab);
  for (auto _ : state) {
    state.PauseTiming();
    s.reset();
    state.ResumeTiming();
    (void)vorpel::v2::prefill(m, s, prompt, std::span<float>(logits));
    benchmark::DoNotOptimize(logits.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["threads"] = static_cast<double>(vorpel::pool::thread_count());
}

// Same prompt pushed through single steps, for comparison with the batched pass.
void BM_PrefillByStepping(benchmark::State& state) {
  const auto& m = g_bundle->model;
  auto s = vorpel::v2::V2State::for_generation(m);
  std::vector<float> logits(m.geom.vocab);
  const auto prompt = tokens(static_cast<size_t>(state.range(0)), m.geom.vocab);
  for (auto _ : state) {
    state.PauseTiming();
    s.reset();
    state.ResumeTiming();
    for (uint32_t t : prompt) (void)vorpel::v2::step(m, s, t, logits);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Decode step time per component, as shares of the profiled total.
void BM_DecodeProfile(benchmark::State& state) {
  const auto& m = g_bundle->model;
  auto s = vorpel::v2::V2State::for_generation(m);
  std::vector<float> logits(m.geom.vocab);
  const auto prompt = tokens(256, m.geom.vocab);
  vorpel::v2::StepProfile prof;
  for (auto _ : state) {
    state.PauseTiming();
    s.reset();
    (void)vorpel::v2::prefill(m, s, prompt, std::nullopt);
    vorpel::v2::set_step_profile(&prof);
    state.ResumeTiming();
    for (int i = 0; i < 16; ++i) (void)vorpel::v2::step(m, s, static_cast<uint32_t>(100 + i), logits);
    state.PauseTiming();
    vorpel::v2::set_step_profile(nullptr);
    state.ResumeTiming();
  }
  using P = vorpel::v2::StepProfile;
  double total = 0;
  for (uint64_t ns : prof.ns) total += static_cast<double>(ns);
  const char* names[P::kParts] = {"embedding", "engram", "mhc", "projections", "attention", "hadamard_mlp", "logits"};
  for (size_t i = 0; i < P::kParts; ++i)
    state.counters[std::string("pct_") + names[i]] = total > 0 ? 100.0 * static_cast<double>(prof.ns[i]) / total : 0;
  state.counters["us_per_step"] = prof.steps ? total / 1000.0 / static_cast<double>(prof.steps) : 0;
}

// Rates from wall time; the CPU column counts every thread of the process.
BENCHMARK(BM_Decode)->Unit(benchmark::kMillisecond)->MinTime(2.0)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_Prefill)->Arg(128)->Arg(512)->Unit(benchmark::kMillisecond)->MinTime(2.0)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_PrefillByStepping)->Arg(128)->Unit(benchmark::kMillisecond)->Iterations(2)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_DecodeProfile)->Unit(benchmark::kMillisecond)->Iterations(4)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const std::string path = benchutil::model_path(argc, argv);
  if (path.empty()) {
    std::fprintf(stderr, "v2_bench: no model (give a path or set VORPEL_V2_MODEL); skipping\n");
    return 0;
  }
  const auto t0 = std::chrono::steady_clock::now();
  auto loaded = vorpel::v2::load_v2_bundle_file(path);
  const double load_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!loaded) {
    std::fprintf(stderr, "v2_bench: %s: %s; skipping\n", path.c_str(), msg(loaded.error()).c_str());
    return 0;
  }
  g_bundle = std::make_unique<vorpel::v2::V2Bundle>(std::move(*loaded));
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  std::printf("model %s: load %.3f s, peak RSS after load %.1f MiB, pool threads %zu\n", path.c_str(), load_s,
              static_cast<double>(ru.ru_maxrss) / 1024.0, vorpel::pool::thread_count());
  benchmark::RunSpecifiedBenchmarks();
  getrusage(RUSAGE_SELF, &ru);
  std::printf("peak RSS at exit %.1f MiB\n", static_cast<double>(ru.ru_maxrss) / 1024.0);
  benchmark::Shutdown();
  return 0;
}

// Third-generation model on a benchmark-sized container: decode tokens/s after
// a 256-token prompt and prefill tokens/s, with f32 and int8 caches, for the
// full model and two rungs; the cache bytes of each. The pool size is fixed
// per process: run once with RAYON_NUM_THREADS=1 and once with 2.
//
//   python -m vorpel_writer.v3 --realistic /tmp/v3_realistic.trov
//   VORPEL_V3_MODEL=/tmp/v3_realistic.trov ./build/bench/v3_bench
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "model_path.hpp"
#include "vorpel/engine/load_error.hpp"
#include "vorpel/pool/worker_pool.hpp"
#include "vorpel/v3/forward.hpp"
#include "vorpel/v3/loader.hpp"

namespace {

std::string g_path;
std::map<uint64_t, std::unique_ptr<vorpel::v3::V3Bundle>> g_rungs;  // depth -> loaded rung (0: full)

const vorpel::v3::V3Model& model(uint64_t depth) {
  auto& slot = g_rungs[depth];
  if (!slot) {
    auto b = vorpel::v3::load_v3_file(g_path, depth ? std::optional<uint64_t>(depth) : std::nullopt);
    if (!b) {
      std::fprintf(stderr, "v3_bench: %s\n", vorpel::message(b.error()).c_str());
      std::exit(1);
    }
    slot = std::make_unique<vorpel::v3::V3Bundle>(std::move(*b));
  }
  return slot->model;
}

using benchutil::tokens;

// state.range(0): rung depth (0 = full model); range(1): int8 cache.
void BM_Decode(benchmark::State& state) {
  const auto& m = model(static_cast<uint64_t>(state.range(0)));
  const bool int8 = state.range(1) != 0;
  const auto prompt = tokens(256, m.geom.vocab_size);
  constexpr int kSteps = 32;
  std::vector<float> logits(m.geom.logit_rows);
  for (auto _ : state) {
    state.PauseTiming();
    vorpel::v3::V3Session s(m, 256 + kSteps, int8);
    vorpel::v3::prefill(m, s, prompt, vorpel::v3::LogitsFor::None, {});
    state.ResumeTiming();
    for (int i = 0; i < kSteps; ++i) vorpel::v3::step(m, s, static_cast<uint32_t>(100 + i), logits);
    benchmark::DoNotOptimize(logits.data());
  }
  state.SetItemsProcessed(state.iterations() * kSteps);
  state.counters["blocks"] = static_cast<double>(m.geom.num_layers);
  state.counters["kv_MiB_288"] =
      static_cast<double>(*vorpel::v3::kv_bytes(m.geom, m.blocks, 256 + kSteps, int8)) / (1 << 20);
}

void BM_Prefill(benchmark::State& state) {
  const auto& m = model(static_cast<uint64_t>(state.range(0)));
  const bool int8 = state.range(1) != 0;
  const auto prompt = tokens(static_cast<size_t>(state.range(2)), m.geom.vocab_size);
  std::vector<float> logits(m.geom.logit_rows);
  for (auto _ : state) {
    vorpel::v3::V3Session s(m, prompt.size(), int8);
    vorpel::v3::prefill(m, s, prompt, vorpel::v3::LogitsFor::Last, logits);
    benchmark::DoNotOptimize(logits.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(2));
}

void Configs(benchmark::internal::Benchmark* b) {
  for (int depth : {0, 16, 8})
    for (int int8 : {0, 1}) b->Args({depth, int8});
}
void PrefillConfigs(benchmark::internal::Benchmark* b) {
  for (int int8 : {0, 1})
    for (int n : {128, 512}) b->Args({0, int8, n});
  b->Args({8, 0, 128});
}

BENCHMARK(BM_Decode)->Apply(Configs)->Unit(benchmark::kMillisecond)->MinTime(2.0)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_Prefill)->Apply(PrefillConfigs)->Unit(benchmark::kMillisecond)->MinTime(2.0)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  g_path = benchutil::model_path(argc, argv, "VORPEL_V3_MODEL");
  if (g_path.empty()) {
    std::fprintf(stderr, "v3_bench: no model (give a path or set VORPEL_V3_MODEL); skipping\n");
    return 0;
  }
  const auto t0 = std::chrono::steady_clock::now();
  const auto& m = model(0);
  const double load_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  std::printf("model %s: %llu blocks, load %.3f s, peak RSS after load %.1f MiB, pool threads %zu\n", g_path.c_str(),
              static_cast<unsigned long long>(m.geom.num_layers), load_s, static_cast<double>(ru.ru_maxrss) / 1024.0,
              vorpel::pool::thread_count());
  for (uint64_t n : {512ull, 2048ull})
    std::printf("kv_bytes(%llu): f32 %.1f MiB, int8 %.1f MiB\n", static_cast<unsigned long long>(n),
                static_cast<double>(*vorpel::v3::kv_bytes(m.geom, m.blocks, n, false)) / (1 << 20),
                static_cast<double>(*vorpel::v3::kv_bytes(m.geom, m.blocks, n, true)) / (1 << 20));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

// First generation: encoder and decoder tokens/s on a benchmark-sized model
// (runs on the calling thread only, as the generation does), and its 4-bit
// product beside the CQ 4-bit product of the same shape in the same run.
//
//   python -m vorpel_writer.v1 --realistic /tmp/v1_realistic
//   VORPEL_V1_MODEL=/tmp/v1_realistic ./build/bench/v1_bench
#include <benchmark/benchmark.h>

#include <algorithm>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "model_path.hpp"
#include "vorpel/cq/cq_kernels.hpp"
#include "vorpel/engine/load_error.hpp"
#include "vorpel/v1/forward.hpp"
#include "vorpel/v1/quant.hpp"
#include "vorpel/v1_engine/v1_engine.hpp"

namespace {

std::unique_ptr<vorpel::v1::V1Engine> g_engine;

using benchutil::tokens;

void BM_Encoder(benchmark::State& state) {
  const auto& m = g_engine->model();
  const auto in = tokens(static_cast<size_t>(state.range(0)), m.config.vocab_size);
  if (in.size() > m.config.rope_positions()) {
    state.SkipWithError("the model has fewer rotary positions than this input");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(vorpel::v1::encode(m, in).data());
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_DecoderStep(benchmark::State& state) {
  const auto& m = g_engine->model();
  const auto in = tokens(std::min<uint64_t>(64, m.config.rope_positions()), m.config.vocab_size);
  const auto enc = vorpel::v1::encode(m, in);
  std::vector<float> logits(m.config.vocab_size);
  constexpr int kSteps = 32;
  for (auto _ : state) {
    vorpel::v1::V1Decoder dec(m, enc, in.size(), m.config.max_dec_len);
    for (int i = 0; i < kSteps; ++i) dec.step(static_cast<uint32_t>(100 + i), logits);
    benchmark::DoNotOptimize(logits.data());
  }
  state.SetItemsProcessed(state.iterations() * kSteps);
}

// The 4-bit product of the first generation and the CQ 4-bit product on the
// same shape (out x in, single vector, calling thread), weights cache-resident.
void BM_Product(benchmark::State& state) {
  const uint64_t out = static_cast<uint64_t>(state.range(1)), in = static_cast<uint64_t>(state.range(2));
  std::mt19937 rng(5);
  std::normal_distribution<float> nd;
  std::vector<float> x(in), y(out);
  for (auto& v : x) v = nd(rng);
  if (state.range(0) == 0) {
    std::vector<float> w(in * out);
    for (auto& v : w) v = nd(rng);
    const auto q = vorpel::v1::QuantLinear::quantize(in, out, w);
    for (auto _ : state) {
      vorpel::v1::matvec(q, x, y);
      benchmark::DoNotOptimize(y.data());
    }
    state.counters["weight_MB"] = static_cast<double>(q.memory_bytes()) / 1e6;
  } else {
    const uint64_t b = 64, pc = (in + b - 1) / b * b;
    std::vector<uint8_t> bytes(out * pc / 2 + 2 * out * (pc / b));
    for (auto& v : bytes) v = static_cast<uint8_t>(rng());
    for (uint64_t i = out * pc / 2; i + 1 < bytes.size(); i += 2) bytes[i + 1] = 0x2C;  // modest f16 scales
    std::vector<float> cb(28);
    for (size_t i = 0; i < 28; ++i) cb[i] = 0.1f * static_cast<float>(i) - 1.4f;
    const auto t = *vorpel::cq::decode(bytes, out, in, b, 4, cb);
    std::vector<float> x_rot(t.padded_cols());
    for (auto _ : state) {
      vorpel::cq::rotate_input(t, x, x_rot);
      vorpel::cq::row_kernel(t, x_rot, 0, y);
      benchmark::DoNotOptimize(y.data());
    }
    state.counters["weight_MB"] = static_cast<double>(bytes.size()) / 1e6;
  }
  state.counters["GFLOPs"] = benchmark::Counter(2.0 * static_cast<double>(in * out) * static_cast<double>(state.iterations()),
                                               benchmark::Counter::kIsRate, benchmark::Counter::kIs1000);
}

BENCHMARK(BM_Encoder)->Arg(32)->Arg(128)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_DecoderStep)->Unit(benchmark::kMillisecond)->MinTime(2.0);
// arg 0: 0 = first-generation 4-bit, 1 = CQ 4-bit; then out, in.
BENCHMARK(BM_Product)->ArgNames({"cq", "out", "in"})->Args({0, 512, 512})->Args({1, 512, 512})
    ->Args({0, 2048, 512})->Args({1, 2048, 512})->Args({0, 8192, 512})->Args({1, 8192, 512})->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const std::string dir = benchutil::model_path(argc, argv, "VORPEL_V1_MODEL");
  if (dir.empty()) {
    std::fprintf(stderr, "v1_bench: no model directory (give one or set VORPEL_V1_MODEL); products only\n");
    benchmark::RunSpecifiedBenchmarks("BM_Product");
    return 0;
  }
  auto e = vorpel::v1::V1Engine::load(dir + "/model.safetensors", dir + "/vocab.txt");
  if (!e) {
    std::fprintf(stderr, "v1_bench: %s\n", vorpel::message(e.error()).c_str());
    return 1;
  }
  g_engine = std::make_unique<vorpel::v1::V1Engine>(std::move(*e));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

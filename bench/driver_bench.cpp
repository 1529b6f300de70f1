// Generation driver costs outside the model: token choice over a realistic
// vocabulary, streaming deltas (incremental decoder against one full decode
// per token), and, given a model (argument or VORPEL_V2_MODEL), whole
// generations through V2Engine.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "model_path.hpp"
#include "vorpel/engine/load_error.hpp"
#include "vorpel/sp_tokenizer/sp_tokenizer.hpp"
#include "vorpel/engine/sampling.hpp"
#include "vorpel/engine/stream.hpp"
#include "vorpel/v2_engine/v2_engine.hpp"


namespace {
// Text of any error value of the libraries.
[[maybe_unused]] static std::string msg(const auto& e) {
  using vorpel::message;
  return message(e);
}


constexpr size_t kVocab = 49152;

std::vector<float> random_logits(uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> nd(0.0f, 3.0f);
  std::vector<float> v(kVocab);
  for (float& x : v) x = nd(rng);
  return v;
}

void BM_Greedy(benchmark::State& state) {
  const auto logits = random_logits(1);
  for (auto _ : state) benchmark::DoNotOptimize(vorpel::engine::greedy_token(logits));
  state.SetItemsProcessed(state.iterations());
}

void BM_Sample(benchmark::State& state) {
  const auto logits = random_logits(2);
  auto chooser = vorpel::engine::TokenChooser::second_generation(0.7f, 0);
  for (auto _ : state) benchmark::DoNotOptimize(chooser.choose(logits));
  state.SetItemsProcessed(state.iterations());
}

// 2000 pieces: control ids, all byte pieces, then ordinary word pieces.
vorpel::sp::Tokenizer bench_tokenizer() {
  std::vector<std::pair<std::string, uint8_t>> pieces = {{"<pad>", 1}, {"</s>", 1}, {"<s>", 1}, {"<unk>", 2}};
  for (int b = 0; b < 256; ++b) {
    char t[8];
    std::snprintf(t, sizeof t, "<0x%02X>", b);
    pieces.emplace_back(t, 4);
  }
  std::mt19937 rng(3);
  while (pieces.size() < 2000) {
    std::string w = (rng() % 2) ? "\xe2\x96\x81" : "";
    const size_t n = 1 + rng() % 7;
    for (size_t i = 0; i < n; ++i) w += static_cast<char>('a' + rng() % 26);
    pieces.emplace_back(w, 0);
  }
  std::vector<uint8_t> blob;
  auto u32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) blob.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  u32(static_cast<uint32_t>(pieces.size()));
  u32(0), u32(1), u32(2), u32(3);
  blob.insert(blob.end(), {1, 1, 0, 0});
  for (const auto& [text, kind] : pieces) {
    u32(0);
    blob.push_back(kind);
    blob.push_back(static_cast<uint8_t>(text.size()));
    blob.push_back(0);
    blob.insert(blob.end(), text.begin(), text.end());
  }
  return std::move(*vorpel::sp::Tokenizer::parse(blob));
}

std::vector<uint32_t> bench_ids(size_t n) {
  std::mt19937 rng(4);
  std::vector<uint32_t> ids(n);
  for (auto& id : ids) id = rng() % 16 == 0 ? 4 + 0xC3 + (rng() % 2) * (0xA9 - 0xC3) : 260 + rng() % 1740;
  return ids;
}

// Deltas for a whole generation of range(0) tokens.
void BM_StreamIncremental(benchmark::State& state) {
  const auto tok = bench_tokenizer();
  const auto ids = bench_ids(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    vorpel::engine::StreamDecoder dec(tok);
    size_t bytes = 0;
    for (uint32_t id : ids) bytes += dec.push(id).size();
    benchmark::DoNotOptimize(bytes);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_StreamFullDecode(benchmark::State& state) {
  const auto tok = bench_tokenizer();
  const auto ids = bench_ids(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    vorpel::engine::StreamDelta s;
    size_t bytes = 0;
    for (size_t n = 1; n <= ids.size(); ++n) bytes += s.next(tok.decode(std::span(ids.data(), n))).size();
    benchmark::DoNotOptimize(bytes);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_Greedy)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Sample)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StreamIncremental)->Arg(128)->Arg(2048)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StreamFullDecode)->Arg(128)->Arg(2048)->Unit(benchmark::kMicrosecond);

std::unique_ptr<vorpel::v2::V2Engine> g_engine;
const char* kTools =
    R"([{"name":"get_weather","description":"Current weather for a city","parameters":{"type":"object",)"
    R"("properties":{"city":{"type":"string"},"unit":{"type":"string"}}}}])";

// Whole generate() calls: prompt pass plus range(0) new tokens (greedy or
// sampled, optionally constrained). Reports generated tokens per second.
void BM_Generate(benchmark::State& state) {
  vorpel::v2::GenerateOptions opt;
  opt.max_new_tokens = static_cast<uint64_t>(state.range(0));
  opt.temperature = state.range(1) ? 0.8f : 0.0f;
  opt.constrain = state.range(2) != 0;
  uint64_t tokens = 0, prompt = 0;
  for (auto _ : state) {
    auto r = g_engine->generate("What is the weather in Paris?", kTools, opt);
    tokens += r.token_ids.size();
    prompt = r.prompt_tokens;
  }
  state.counters["new_tokens_per_s"] = benchmark::Counter(static_cast<double>(tokens), benchmark::Counter::kIsRate);
  state.counters["prompt_tokens"] = static_cast<double>(prompt);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const std::string path = benchutil::model_path(argc, argv);
  if (!path.empty()) {
    auto e = vorpel::v2::V2Engine::load(path);
    if (e) {
      g_engine = std::make_unique<vorpel::v2::V2Engine>(std::move(*e));
      // (max new tokens, sampled, constrained)
      for (auto args : {std::vector<int64_t>{32, 0, 0}, {32, 1, 0}, {32, 0, 1}})
        benchmark::RegisterBenchmark("BM_Generate", BM_Generate)->Args(args)->Unit(benchmark::kMillisecond)
            ->Iterations(2);
    } else {
      std::fprintf(stderr, "driver_bench: %s: %s; generation benchmarks skipped\n", path.c_str(), msg(e.error()).c_str());
    }
  } else {
    std::fprintf(stderr, "driver_bench: no model (argument or VORPEL_V2_MODEL); generation benchmarks skipped\n");
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

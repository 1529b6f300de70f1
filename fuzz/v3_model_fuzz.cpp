// Third-generation containers: the input is the container. One byte of it
// picks the full model or a rung; a model that loads runs a prefill (logits of
// every position, cells observed), single steps with both cache storages, and
// the cache-size formula against a long double sum. Tokens come from the
// input's last bytes, some past the vocabulary.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "field_mutator.hpp"
#include "vorpel/v3/forward.hpp"
#include "vorpel/v3/loader.hpp"

using namespace vorpel::v3;

namespace {
struct Counter : CellObserver {
  uint64_t seen = 0, cells = 0;
  void observe(uint64_t cell, std::span<const float> hidden) override {
    if (cell >= cells || hidden.empty()) std::abort();
    ++seen;
  }
};
}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned seed) {
  return mutate_container_word(data, size, max_size, seed, 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  std::optional<uint64_t> depth;
  if (data[size - 1] & 1) depth = data[size - 1] >> 1;
  auto bundle = load_v3(std::vector<uint8_t>(data, data + size), depth);
  if (!bundle) return 0;
  const V3Model& m = bundle->model;
  const uint64_t vocab = m.geom.vocab_size;
  std::vector<uint32_t> tokens;
  for (size_t i = 0; i < 10 && 2 * i + 2 < size; ++i) {
    const uint32_t raw = data[size - 2 - 2 * i] | (uint32_t{data[size - 3 - 2 * i]} << 8);
    tokens.push_back(static_cast<uint32_t>(raw % (vocab + 2)));
  }
  if (tokens.size() > m.geom.max_seq_len) tokens.resize(m.geom.max_seq_len);
  for (bool int8 : {false, true}) {
    V3Session s(m, tokens.size() + 2, int8);
    const size_t half = tokens.size() / 2;
    std::vector<float> all(half * m.geom.logit_rows);
    Counter obs;
    obs.cells = m.geom.num_layers + 1;
    prefill(m, s, std::span<const uint32_t>(tokens).first(half), half ? LogitsFor::Every : LogitsFor::None, all, &obs);
    if (obs.seen != half * obs.cells) std::abort();
    std::vector<float> logits(m.geom.logit_rows);
    for (size_t i = half; i < tokens.size(); ++i) step(m, s, tokens[i], logits);
  }
  // The cache size against the same sum in long double: equal up to its
  // rounding, and absent only when the exact value needs more than 128 bits.
  const V3Geometry& g = m.geom;
  for (bool int8 : {false, true}) {
    for (uint64_t len : {uint64_t{0}, uint64_t{1}, uint64_t{tokens.size()}, uint64_t{UINT32_MAX}, UINT64_MAX}) {
      const long double widths = static_cast<long double>(g.head_dim) + g.value_dim;
      const long double per = int8 ? g.num_kv_heads * (widths + 8) : g.num_kv_heads * widths * 4;
      long double positions = 0;
      for (const V3Block& b : m.blocks)
        positions += static_cast<long double>(b.global || g.window() == 0 ? len : std::min(g.window(), len));
      const long double want = positions * per;
      const auto got = kv_bytes(g, m.blocks, len, int8);
      if (!got ? want < 0x1p127L : std::fabs(static_cast<long double>(*got) - want) > want * 1e-15L) {
        std::fprintf(stderr, "kv_bytes for %llu positions (int8 %d): %s, want about %Lg\n",
                     static_cast<unsigned long long>(len), int8, got ? "a value" : "none", want);
        std::abort();
      }
    }
  }
  return 0;
}

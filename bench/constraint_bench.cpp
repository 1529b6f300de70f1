// Cost of the tool-call constraint's bias over a 50,000-piece BPE-like
// vocabulary: outside a capture (a fill), during a name capture (the fast
// bucketed walk), and a plain walk over every token for comparison.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "vorpel/constrained/tool_constraint.hpp"

namespace {

using namespace vorpel::constrained;

constexpr size_t kVocab = 50000;

// Word-like pieces, most with a leading space, plus punctuation, digits,
// JSON fragments, and a few control tokens with empty bytes.
std::vector<std::string> make_vocab() {
  std::mt19937 rng(42);
  const std::string letters = "etaoinshrdlcumwfgypbvkjxqz";
  std::discrete_distribution<int> letter_pick({12, 9, 8, 8, 7, 7, 6, 6, 6, 4, 4, 3, 3, 2, 2, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1});
  std::uniform_int_distribution<int> len(1, 9), kind(0, 99);
  const std::vector<std::string> punct = {"\"", "\":", "\",", "{\"", "\"}", ",", ".", ":", "_", "-", "(", ")", "\n",
                                          "{", "}", "[", "]", "\":\"", "\",\"", " \"", "'s", "!"};
  std::vector<std::string> v;
  v.reserve(kVocab);
  for (int i = 0; i < 8; ++i) v.emplace_back();
  for (const auto& p : punct) v.push_back(p);
  for (int d = 0; d < 10; ++d) v.push_back(std::to_string(d));
  while (v.size() < kVocab) {
    std::string w;
    const int k = kind(rng);
    if (k < 60) w.push_back(' ');
    const int l = len(rng);
    for (int i = 0; i < l; ++i) w += letters[letter_pick(rng)];
    if (k >= 90) w += "_";
    if (k >= 95 && k < 97) w[k >= 96 ? 0 : w.size() - 1] = '"';
    v.push_back(std::move(w));
  }
  return v;
}

const char* kTools =
    "[{\"name\":\"get_weather\",\"parameters\":{\"properties\":{\"city\":{},\"unit\":{}}}},"
    "{\"name\":\"get_time\",\"parameters\":{\"properties\":{\"zone\":{}}}},"
    "{\"name\":\"search_web\",\"parameters\":{\"properties\":{\"query\":{},\"limit\":{}}}},"
    "{\"name\":\"send_email\",\"parameters\":{\"properties\":{\"to\":{},\"subject\":{},\"body\":{}}}},"
    "{\"name\":\"create_event\",\"parameters\":{\"properties\":{\"title\":{},\"start\":{}}}},"
    "{\"name\":\"translate_text\",\"parameters\":{\"properties\":{\"text\":{},\"target\":{}}}},"
    "{\"name\":\"set_timer\",\"parameters\":{\"properties\":{\"seconds\":{}}}},"
    "{\"name\":\"play_music\",\"parameters\":{\"properties\":{\"song\":{}}}}]";

std::shared_ptr<const TokenBytesIndex> index() {
  static auto idx = std::make_shared<const TokenBytesIndex>(make_vocab());
  return idx;
}

void BM_BiasOutsideCapture(benchmark::State& state) {
  ToolConstraint c(parse_tools(kTools), index());
  std::vector<float> out(kVocab);
  for (auto _ : state) {
    c.bias(out);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_BiasOutsideCapture);

// One whole name capture per iteration: bias then feed for each piece of
// get_weather, so every bias sees a fresh node and walks its candidates.
void BM_BiasNameCapture(benchmark::State& state) {
  ToolConstraint c(parse_tools(kTools), index());
  std::vector<float> out(kVocab);
  const std::vector<std::string> pieces = {"get", "_", "we", "ather"};
  for (auto _ : state) {
    c.feed_bytes("{\"name\":\"");
    for (const auto& p : pieces) {
      c.bias(out);
      benchmark::DoNotOptimize(out.data());
      c.feed_bytes(p);
    }
    c.bias(out);
    c.feed_bytes("\",");
  }
  state.SetItemsProcessed(state.iterations() * 5);  // bias calls
}
BENCHMARK(BM_BiasNameCapture);

// The same capture with the straightforward bias: every token walked from
// the reached node.
void BM_BiasNameCaptureFullWalk(benchmark::State& state) {
  const auto tools = parse_tools(kTools);
  ByteTrie trie;
  for (const auto& t : tools) trie.insert(t.normalized);
  const auto idx = index();
  std::vector<float> out(kVocab);
  const std::vector<std::string> captures = {"", "get", "get_", "get_we", "get_weather"};
  for (auto _ : state) {
    for (const auto& cap : captures) {
      uint32_t node = 0;
      for (char ch : cap) node = trie.child(node, static_cast<uint8_t>(ch));
      bool any = false;
      for (uint32_t i = 0; i < kVocab; ++i) {
        uint32_t n = node;
        bool ok = true;
        for (char ch : idx->bytes(i)) {
          if (ch == '"' && trie.terminal(n)) break;
          n = trie.child(n, static_cast<uint8_t>(ch));
          if (n == ByteTrie::kNone) {
            ok = false;
            break;
          }
        }
        out[i] = ok ? 0.0f : kMasked;
        any |= ok;
      }
      if (!any) std::fill(out.begin(), out.end(), 0.0f);
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetItemsProcessed(state.iterations() * 5);
}
BENCHMARK(BM_BiasNameCaptureFullWalk);

}  // namespace

BENCHMARK_MAIN();

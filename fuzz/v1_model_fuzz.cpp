// First-generation models: the input is the safetensors file, the vocabulary
// is fixed. A model that loads runs a short query (through the constraint,
// streaming and the decoder), and the contrastive operations when it has a
// head; the token loop is cut after a few tokens by the call hooks.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vorpel/engine/heads.hpp"
#include "vorpel/v1/loader.hpp"
#include "vorpel/v1_engine/v1_engine.hpp"

using namespace vorpel::v1;

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "v1_model_fuzz: %s\n", what);
  std::abort();
}

// Special ids 0..5, byte pieces for a few characters, tool-call fragments.
const std::string& vocab_text() {
  static const std::string v = [] {
    const char* pieces[] = {"<pad>", "</s>", "<s>", "<unk>", "<out>", "<sep>", "<0x7B>", "<0x22>",
                            "\xE2\x96\x81", "\xE2\x96\x81get", "weather", "_", "\":\"", "{\"name\":\"", "\"}",
                            "city", "\",\"arguments\":{\"", "Paris", "a", "e", "t", "\xE2\x96\x81in"};
    std::string s;
    for (const char* p : pieces) s += std::string(p) + "\n";
    return s;
  }();
  return v;
}

constexpr const char* kTools =
    "[{\"name\":\"getWeather\",\"parameters\":{\"type\":\"object\",\"properties\":{\"city\":{}}}}]";

struct Stop {};

// Skips the operations for models whose every step would take long.
constexpr uint64_t kRunWeightBytes = 8u << 20;
constexpr uint64_t kRunLogitWork = 1u << 22;  // vocab_size x d_model per step

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto engine = V1Engine::from_bytes(std::vector<uint8_t>(data, data + size), vocab_text());
  if (!engine) return 0;
  const V1Model& m = engine->model();
  const V1Config& c = m.config;
  if (weight_memory_bytes(c) > kRunWeightBytes || c.vocab_size * c.d_model > kRunLogitWork) return 0;

  int polls = 0;
  vorpel::CallHooks hooks;
  hooks.poll = [&polls] {
    if (++polls > 6) throw Stop{};
  };
  std::vector<uint32_t> streamed;
  const StreamCallback cb = [&](uint32_t t, std::string_view) { streamed.push_back(t); };
  try {
    const V1RunResult r = engine->generate("get weather in Paris", kTools, &cb, hooks);
    if (r.token_ids != streamed) fail("streamed ids differ from the generated ids");
    if (r.token_ids.size() > std::max<uint64_t>(c.max_dec_len, 1)) fail("more tokens than max_dec_len");
    for (uint32_t t : r.token_ids)
      if (t == kEndId || t >= c.vocab_size) fail("end token or id outside the logits in the output");
  } catch (const Stop&) {
  }

  polls = -100;  // the contrastive operations poll once per text
  const auto z = engine->encode_contrastive("weather in Paris", hooks);
  if (z.has_value() != m.contrastive.has_value()) fail("embedding without a head, or none with one");
  if (z && z->size() != engine->contrastive_dim()) fail("embedding length is not contrastive_dim");
  const std::vector<std::string> descs = {"city weather", "", "get weather", "city weather"};
  const auto ranked = engine->retrieve_tools("weather", descs, 3, hooks);
  if (!m.contrastive && !ranked.empty()) fail("ranking without a head");
  if (m.contrastive && ranked.size() != 3) fail("ranking is not top_k long");
  for (size_t i = 1; i < ranked.size(); ++i)
    if (vorpel::engine::total_order_key(ranked[i - 1].second) < vorpel::engine::total_order_key(ranked[i].second))
      fail("ranking out of order");
  return 0;
}

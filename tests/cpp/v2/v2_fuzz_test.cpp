// Seeded corruptions of a valid container: loading either fails with a message
// or yields a model that steps and prefills without any internal error.
#include <gtest/gtest.h>

#include <random>

#include "v2/v2_builder.hpp"
#include "vorpel/v2/batch.hpp"
#include "vorpel/v2/bundle.hpp"
#include "vorpel/v2/forward.hpp"

using namespace v2test;

TEST(V2Fuzz, CorruptContainersNeverBreakTheLoaderOrTheStep) {
  Geo g;
  g.sites = {1};
  g.orders = {1, 2};
  g.max_seq_len = 40;
  g.kv_window = 6;
  const std::vector<uint8_t> good = make_container(g, 30, {{1.0f, 2, 3}}, true).bytes();
  const size_t directory_end = 232 + 44 * (final_index(g) + 2 + 3 + 1);
  int loaded = 0;
  for (uint32_t seed = 0; seed < 400; ++seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> b = good;
    const int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits; ++e) {
      switch (rng() % 4) {
        case 0:  // a header byte
          b[12 + rng() % 108] = static_cast<uint8_t>(rng());
          break;
        case 1:  // a directory byte (dtype, ndim, dims, offsets, sizes, block, bits)
          b[232 + rng() % (directory_end - 232)] = static_cast<uint8_t>(rng());
          break;
        case 2:  // a small header count
          b[16 + 4 * (rng() % 26)] = static_cast<uint8_t>(rng() % 9);
          break;
        default:  // truncation
          b.resize(b.size() - rng() % (b.size() / 4));
      }
    }
    auto bundle = vorpel::v2::load_v2_bundle(std::move(b));
    if (!bundle) {
      EXPECT_FALSE(vorpel::message(bundle.error()).empty()) << "seed " << seed;
      continue;
    }
    ++loaded;
    const auto& m = bundle->model;
    std::vector<float> logits(m.geom.vocab);
    std::vector<uint32_t> tokens;
    for (uint32_t i = 0; i < std::min<uint64_t>(m.geom.max_seq_len, 12); ++i)
      tokens.push_back(static_cast<uint32_t>((i * 7) % m.geom.vocab));
    try {
      auto a = vorpel::v2::V2State::for_generation(m);
      for (uint32_t t : tokens) ASSERT_TRUE(vorpel::v2::step(m, a, t, logits)) << "seed " << seed;
      auto p = vorpel::v2::V2State::for_generation(m);
      ASSERT_TRUE(vorpel::v2::prefill(m, p, tokens, std::span<float>(logits))) << "seed " << seed;
    } catch (const std::exception& e) {
      ADD_FAILURE() << "seed " << seed << ": " << e.what();
    }
  }
  EXPECT_GT(loaded, 20) << "only " << loaded << " of 400 loaded";  // enough stay loadable to exercise the step
}

// A decode step must not allocate once its state exists: it runs once per
// generated token. Counts every operator new in this test binary. Also checks
// that the allocation-free row decode gives exactly the codec's rows.
#include <gtest/gtest.h>

#include <random>

#include "../../../vorpel-core/src/v2/parts.hpp"
#include "count_allocations.hpp"
#include "cq/cq_reference.hpp"
#include "v2/v2_builder.hpp"
#include "vorpel/cq/cq_kernels.hpp"
#include "vorpel/pool/worker_pool.hpp"
#include "vorpel/v2/bundle.hpp"
#include "vorpel/v2/batch.hpp"
#include "vorpel/v2/forward.hpp"

namespace {

using alloctest::g_allocations;

size_t per_call[2];

using vorpel::v2::V2Model;
using vorpel::v2::V2State;

V2Model load(const v2test::Geo& g, uint32_t seed) {
  auto b = vorpel::v2::load_v2_bundle(v2test::make_container(g, seed).bytes());
  if (!b) throw std::runtime_error(vorpel::message(b.error()));
  return std::move(b->model);
}

TEST(V2Alloc, StepsAllocateNothing) {
  // Wide enough that attention (past ~130 positions) and the tied logits go to
  // the pool when it has more than one thread; with engram sites, so table rows
  // are decoded every step.
  v2test::Geo g;
  g.vocab = 16448, g.d_model = 64, g.num_heads = 8, g.num_kv_heads = 4, g.head_dim = 16, g.hada_n = 64;
  g.max_seq_len = 400, g.sub_dim = 32, g.num_tables = 2, g.table_rows = 7, g.sites = {0, 1}, g.orders = {1, 2};
  g.block = 32;
  const V2Model m = load(g, 17);
  V2State s = V2State::for_generation(m);
  std::vector<float> logits(g.vocab);
  std::mt19937 rng(3);
  ASSERT_TRUE(vorpel::v2::step(m, s, 1, logits));  // creates the pool
  const size_t before = g_allocations.load();
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(vorpel::v2::step(m, s, rng() % g.vocab, logits));
  EXPECT_EQ(g_allocations.load(), before) << "pool threads " << vorpel::pool::thread_count();
}

TEST(V2Alloc, PrefillAllocatesNothingPerChunk) {
  // The chunk buffers are made at most once per call (and kept by the thread
  // for the next), so a prompt of three chunks costs no more allocations than
  // a prompt of one.
  v2test::Geo g;
  g.vocab = 300, g.d_model = 64, g.num_heads = 4, g.num_kv_heads = 2, g.head_dim = 16, g.hada_n = 64;
  g.max_seq_len = 512, g.sub_dim = 32, g.num_tables = 2, g.table_rows = 7, g.sites = {1}, g.orders = {1, 2};
  g.block = 32;
  const V2Model m = load(g, 5);
  std::vector<float> logits(g.vocab);
  std::vector<uint32_t> tokens(3 * 128);
  std::mt19937 rng(9);
  for (auto& t : tokens) t = rng() % g.vocab;
  auto count = [&](size_t n) {
    V2State s = V2State::for_generation(m);
    ASSERT_TRUE(vorpel::v2::step(m, s, 1, logits));  // state buffers sized, pool created
    s.reset();
    ASSERT_TRUE(vorpel::v2::prefill(m, s, std::span(tokens).first(n), std::span<float>(logits)));  // warm-up
    s.reset();
    const size_t before = g_allocations.load();
    ASSERT_TRUE(vorpel::v2::prefill(m, s, std::span(tokens).first(n), std::span<float>(logits)));
    per_call[n == 128 ? 0 : 1] = g_allocations.load() - before;
  };
  count(128);
  count(3 * 128);
  EXPECT_EQ(per_call[0], per_call[1]) << "pool threads " << vorpel::pool::thread_count();
}

TEST(V2Alloc, RowDecodeEqualsTheCodec) {
  std::mt19937 rng(2024);
  for (uint8_t code : {2, 3, 4, 5})
    for (auto [cols, b] : {std::pair<uint64_t, uint64_t>{100, 64}, {8, 8}, {37, 16}}) {
      const cqref::Encoded e = cqref::make_encoded(rng, 9, cols, b, code);
      auto t = vorpel::cq::decode(e.bytes, e.rows, e.cols, e.b, e.code, e.codebook);
      ASSERT_TRUE(t);
      std::vector<float> want(cols), got(cols), buf(t->padded_cols());
      for (uint64_t r = 0; r < e.rows; ++r) {
        vorpel::cq::dequantize_row(*t, r, want);
        vorpel::cq::decode_row(*t, r, got.data(), buf.data());
        EXPECT_EQ(got, want) << "code " << int(code) << " cols " << cols << " b " << b << " row " << r;
      }
    }
}

}  // namespace

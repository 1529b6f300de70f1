// Second-generation loading: header and count checks, the canon walk, the head
// manifest, the optional tokenizer and every model-validation text.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include "v2/v2_builder.hpp"
#include "vorpel/engine/load_error.hpp"
#include "vorpel/v2/bundle.hpp"
#include "vorpel/v2/state.hpp"


using namespace v2test;

namespace {
// Text of any error value of the libraries.
[[maybe_unused]] static std::string msg(const auto& e) {
  using vorpel::message;
  return message(e);
}


std::string load_error(const Container& c) {
  auto b = vorpel::v2::load_v2_bundle(c.bytes());
  return b ? std::string("<loaded>") : msg(b.error());
}

Geo engram_geo() {
  Geo g;
  g.sites = {1};
  g.orders = {1, 2};
  return g;
}

}  // namespace

TEST(V2Load, ValidContainersLoad) {
  for (const Geo& g : {Geo{}, engram_geo()}) {
    auto b = vorpel::v2::load_v2_bundle(make_container(g, 1).bytes());
    ASSERT_TRUE(b) << msg(b.error());
    const auto& m = b->model;
    EXPECT_EQ(m.layers.size(), g.num_layers);
    EXPECT_EQ(m.engrams.size(), g.sites.size());
    EXPECT_FALSE(b->tokenizer.has_value());
    EXPECT_TRUE(m.heads.empty());
    EXPECT_FLOAT_EQ(m.embed_scale, std::sqrt(12.0f));
    EXPECT_EQ(m.geom.tables_per_order(), g.sites.empty() ? g.num_tables / 1 : 1u);
  }
}

TEST(V2Load, HeaderChecksComeFromTheContainer) {
  struct Case {
    std::function<void(Geo&)> edit;
    const char* text;
  };
  const Case cases[] = {
      {[](Geo& g) { g.vocab = 0; }, "header field vocab must be non-zero"},
      {[](Geo& g) { g.mhc_lanes = 0; }, "header field mhc_lanes must be non-zero"},
      {[](Geo& g) { g.num_kv_heads = 3; }, "header field num_heads % num_kv_heads must be non-zero"},
      {[](Geo& g) { g.hada_n = 24; }, "header field hada_n must be non-zero"},
      {[](Geo& g) { g.hada_n = 8; }, "header field hada_n must be non-zero"},
      {[](Geo& g) { g.sites = {0}; g.sub_dim = 0; }, "header field engram geometry must be non-zero"},
      {[](Geo& g) { g.sites = {2}; }, "header field engram_sites beyond num_layers must be non-zero"},
  };
  for (const Case& c : cases) {
    Geo g;
    c.edit(g);
    Container k = make_container(Geo{}, 2);
    k.g = g;
    EXPECT_EQ(load_error(k), c.text);
  }
}

TEST(V2Load, CountAndHeadManifest) {
  Geo g;
  Container c = make_container(g, 3);
  const size_t fixed = c.entries.size();
  ASSERT_EQ(fixed, 11u + 14 * g.num_layers);
  Container short_c = c;
  short_c.entries.pop_back();
  EXPECT_EQ(load_error(short_c), "the canon for this geometry needs 39 tensors, directory has 38");

  for (size_t surplus : {1u, 2u, 3u, 5u, 6u}) {
    Container k = c;
    for (size_t i = 0; i < surplus; ++i) k.entries.push_back(f32_entry({1}, {1.0f}));
    EXPECT_EQ(load_error(k), std::to_string(surplus) + " trailing tensors is not 1 + 3*heads for any head count")
        << surplus;
  }
  // Surplus 4 is one head, 7 two; a trailing tokenizer is not counted.
  auto one = vorpel::v2::load_v2_bundle(make_container(g, 3, {{2.0f, 2, 1}}).bytes());
  ASSERT_TRUE(one) << msg(one.error());
  ASSERT_EQ(one->model.heads.size(), 1u);
  EXPECT_EQ(one->model.heads[0].kind, 2);
  EXPECT_EQ(one->model.heads[0].num_probes, 2u);
  EXPECT_EQ(one->model.heads[0].out_dim, 1u);
  auto two = vorpel::v2::load_v2_bundle(make_container(g, 3, {{1.9f, 1, 3}, {1.0f, 3, 5}}, true).bytes());
  ASSERT_TRUE(two) << msg(two.error());
  ASSERT_EQ(two->model.heads.size(), 2u);
  EXPECT_EQ(two->model.heads[0].kind, 1);  // 1.9 truncates to 1
  EXPECT_EQ(two->model.heads[1].out_dim, 5u);
  EXPECT_EQ(two->model.heads[1].proj.size(), 5u * 3 * 12);
  ASSERT_TRUE(two->tokenizer.has_value());
  EXPECT_EQ(two->tokenizer->piece_count(), g.vocab);
}

TEST(V2Load, HeadManifestErrors) {
  Geo g;
  const size_t f = final_index(g);
  EXPECT_EQ(load_error(make_container(g, 4, {{3.0f, 1, 1}})), "unknown probe-head code 3");
  EXPECT_EQ(load_error(make_container(g, 4, {{300.0f, 1, 1}})), "unknown probe-head code 255");
  EXPECT_EQ(load_error(make_container(g, 4, {{-2.0f, 1, 1}})), "unknown probe-head code 0");
  {
    Container c = make_container(g, 4, {{1.0f, 2, 3}});
    c.entries[f + 2].dims[1] = 11;  // probes [2, 11]
    EXPECT_EQ(load_error(c), "head probes shape does not match num_probes * d_model");
  }
  {
    Container c = make_container(g, 4, {{1.0f, 2, 3}});
    c.entries[f + 3].dims[1] = 12;  // proj [3, 12], but 2 probes need 24 columns
    EXPECT_EQ(load_error(c), "head proj shape does not match out_dim * num_probes * d_model");
  }
  {
    Container c = make_container(g, 4, {{1.0f, 2, 3}});
    c.entries[f + 4] = f32_entry({2}, {0.0f, 0.0f});
    EXPECT_EQ(load_error(c), "head bias length does not match out_dim");
  }
  {
    // The kind codes are all checked before any head's shapes.
    Container c = make_container(g, 4, {{1.0f, 2, 3}, {3.0f, 1, 1}});
    c.entries[f + 2].dims[1] = 11;
    EXPECT_EQ(load_error(c), "unknown probe-head code 3");
  }
  {
    Container c = make_container(g, 4, {{1.0f, 2, 3}});
    c.entries[f + 1].dims[0] = 2;
    EXPECT_EQ(load_error(c), "tensor " + std::to_string(f + 1) + " (head kinds): shape [2] does not match geometry [1]");
  }
}

TEST(V2Load, CanonShapeAndDtypeErrorsNameTheTensor) {
  Geo g = engram_geo();
  {
    Container c = make_container(g, 5);
    c.entries[layer_index(0, 1)].dims[0] = 5;
    EXPECT_EQ(load_error(c), "tensor 2 (q_proj): shape [5, 12] does not match geometry [24, 12]");
  }
  {
    Container c = make_container(g, 5);
    c.entries[layer_index(1, 9)].ndim = 2;
    c.entries[layer_index(1, 9)].dims[1] = 1;
    EXPECT_EQ(load_error(c), "tensor 24 (attn_gate): shape [1, 1] does not match geometry [1]");
  }
  {
    Container c = make_container(g, 5);
    c.entries[mhc_index(g, 5)].dims[2] = 3;
    EXPECT_EQ(load_error(c), "tensor 34 (mhc_b_res): shape [2, 2, 3] does not match geometry [2, 2, 2]");
  }
  {
    Container c = make_container(g, 5);
    c.entries[engram_index(g, 0, 1)].dims[1] = 6;
    EXPECT_EQ(load_error(c), "tensor 39 (engram key_proj): shape [12, 6] does not match geometry [12, 12]");
  }
  {
    Container c = make_container(g, 5);
    c.entries[final_index(g)].dims[0] = 13;
    EXPECT_EQ(load_error(c), "tensor 42 (final_norm): shape [13] does not match geometry [12]");
  }
  {
    Container c = make_container(g, 5);  // a float where a CQ matrix belongs
    std::mt19937 rng(1);
    c.entries[layer_index(0, 1)] = f32_entry({24, 12}, randn(24 * 12, 1.0f, rng));
    EXPECT_EQ(load_error(c), "tensor 2 has dtype 2, want 3");
  }
  {
    Container c = make_container(g, 5);  // a CQ matrix where a float belongs
    std::mt19937 rng(1);
    c.entries[layer_index(0, 0)] = cq_entry(12, 8, 8, 4, rng);
    c.entries[layer_index(0, 0)].ndim = 1;
    EXPECT_EQ(load_error(c), "tensor 1 has dtype 3, want 1");
  }
  {
    Container c = make_container(g, 5);  // f16 floats are widened
    Entry& e = c.entries[layer_index(0, 0)];
    e.dtype = 1;
    e.data.assign(24, 0);
    e.data[1] = 0x3C;  // 1.0
    auto b = vorpel::v2::load_v2_bundle(c.bytes());
    ASSERT_TRUE(b) << msg(b.error());
    EXPECT_EQ(b->model.layers[0].norm_in[0], 1.0f);
  }
  {
    Container c = make_container(g, 5);  // codec errors come through
    c.entries[0].data.resize(c.entries[0].data.size() - 1);
    EXPECT_EQ(load_error(c).rfind("cq: ShortBlob { need: ", 0), 0u) << load_error(c);
  }
}

// A float entry whose declared shape matches but whose bytes hold fewer (or
// more) values must fail, never be read past its end.
TEST(V2Load, FloatByteCountMustFillTheShape) {
  Geo g = engram_geo();
  struct Case {
    size_t index;
    const char* text;
  };
  const Case cases[] = {
      {layer_index(0, 0), "norm_in/post_norm/pre_hada width does not match d_model"},
      {layer_index(1, 8), "norm_in/post_norm/pre_hada width does not match d_model"},
      {layer_index(0, 10), "norm_in/post_norm/pre_hada width does not match d_model"},
      {layer_index(0, 4), "q_norm/k_norm width does not match head_dim"},
      {layer_index(1, 12), "HadamardMLP diagonal width does not match hada_n"},
      {mhc_index(g, 1), "mhc a_* length does not match num_layers"},
      {mhc_index(g, 5), "mhc b_* length does not match num_layers x lanes"},
      {engram_index(g, 0, 3), "engram taps shape does not match conv_taps x d_model"},
      {final_index(g), "final_norm width does not match d_model"},
  };
  for (const Case& k : cases) {
    for (int delta : {-4, 4}) {
      Container c = make_container(g, 6);
      auto& data = c.entries[k.index].data;
      data.resize(data.size() + delta);
      EXPECT_EQ(load_error(c), k.text) << "entry " << k.index << " delta " << delta;
    }
  }
  Container c = make_container(g, 6);
  c.entries[layer_index(0, 9)].data.clear();  // attn_gate [1] without its value
  EXPECT_EQ(load_error(c), "attn_gate must hold exactly one value");
}

TEST(V2Load, ModelValidationTextsFromTheContainer) {
  struct Case {
    std::function<void(Geo&)> edit;
    const char* text;
  };
  const Case cases[] = {
      {[](Geo& g) { g.head_dim = 5; g.num_heads = 2; g.num_kv_heads = 1; }, "head_dim must be even (RoPE rotates half-splits)"},
      {[](Geo& g) { g.hada_n = 32; }, "hada_n is not d_model rounded up to a power of two"},
      {[](Geo& g) { g.sites = {0}; g.orders = {}; }, "engram geometry incomplete"},
      {[](Geo& g) { g.sites = {0}; g.orders = {1, 2, 3}; }, "num_tables must be divisible by the order count"},
      {[](Geo& g) { g.sites = {0}; g.sub_dim = 4; }, "engram fetched_dim must equal d_model"},
  };
  for (const Case& k : cases) {
    Geo g;
    k.edit(g);
    EXPECT_EQ(load_error(make_container(g, 7)), k.text);
  }
}

TEST(V2Load, ModelValidationOrderOnTheModel) {
  auto loaded = vorpel::v2::load_v2_bundle(make_container(engram_geo(), 8).bytes());
  ASSERT_TRUE(loaded) << msg(loaded.error());
  using M = vorpel::v2::V2Model;
  struct Case {
    std::function<void(M&)> edit;
    const char* text;
  };
  const Case cases[] = {
      {[](M& m) { m.geom.num_kv_heads = 0; m.geom.head_dim = 3; }, "head counts must be non-zero"},
      {[](M& m) { m.geom.num_kv_heads = 3; m.geom.head_dim = 3; }, "num_heads must be divisible by num_kv_heads"},
      {[](M& m) { m.geom.head_dim = 0; m.geom.d_model = 0; }, "head_dim must be even (RoPE rotates half-splits)"},
      {[](M& m) { m.geom.mhc_lanes = 0; m.geom.hada_n = 3; }, "d_model, mhc_lanes and num_layers must be non-zero"},
      {[](M& m) { m.geom.hada_n = 8; m.geom.vocab = 0; }, "hada_n must be a power of two at or above d_model"},
      {[](M& m) { m.geom.max_seq_len = 0; m.geom.orders.clear(); }, "vocab_size and max_seq_len must be non-zero"},
      {[](M& m) { m.geom.engram_sites = {2}; m.layers.pop_back(); }, "engram site beyond num_layers"},
      {[](M& m) { m.layers.pop_back(); m.engrams.clear(); }, "layer count does not match num_layers"},
      {[](M& m) { m.engrams.clear(); m.final_norm.clear(); }, "engram count does not match site count"},
      {[](M& m) { m.final_norm.pop_back(); m.geom.hada_n = 32; }, "final_norm width does not match d_model"},
      {[](M& m) { m.geom.hada_n = 32; m.geom.vocab = 3; }, "hada_n is not d_model rounded up to a power of two"},
      {[](M& m) { m.geom.vocab = 3; m.mhc.a_pre.clear(); }, "embedding shape does not match geometry"},
      {[](M& m) { m.mhc.a_res.push_back(0); m.mhc.b_pre.clear(); }, "mhc a_* length does not match num_layers"},
      {[](M& m) { m.mhc.b_res.pop_back(); m.mhc.phi_pre = {}; }, "mhc b_* length does not match num_layers x lanes"},
      {[](M& m) { m.mhc.phi_res = m.mhc.phi_pre; }, "mhc phi_* row count does not match num_layers x lanes"},
      {[](M& m) { m.layers[1].d2.pop_back(); m.layers[1].q_norm.clear(); }, "HadamardMLP diagonal width does not match hada_n"},
      {[](M& m) { m.layers[0].k_norm.push_back(0); }, "q_norm/k_norm width does not match head_dim"},
      {[](M& m) { m.engrams[0].taps.pop_back(); m.engrams[0].tables = {}; }, "engram taps shape does not match conv_taps x d_model"},
      {[](M& m) { m.engrams[0].tables = m.embedding; }, "engram table width does not match sub_dim"},
      // The length guards on short entries come after all of the above.
      {[](M& m) { m.layers[0].norm_in.pop_back(); m.layers[1].d1.pop_back(); }, "HadamardMLP diagonal width does not match hada_n"},
      {[](M& m) { m.layers[0].attn_gate.clear(); m.engrams[0].taps.pop_back(); }, "engram taps shape does not match conv_taps x d_model"},
      {[](M& m) { m.layers[1].q_proj = m.layers[1].k_proj; }, "attention projection shape does not match geometry"},
  };
  for (const Case& k : cases) {
    M m = loaded->model;
    k.edit(m);
    auto r = vorpel::v2::validate_model(m);
    ASSERT_FALSE(r) << k.text;
    EXPECT_EQ(vorpel::v2::message(r.error()), k.text);
  }
}

TEST(V2Load, PathAndBytesGiveTheSameBundle) {
  const Container c = make_container(engram_geo(), 9, {{2.0f, 1, 1}}, true);
  const auto bytes = c.bytes();
  const std::string path = ::testing::TempDir() + "/v2_load_test.trov";
  {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  auto a = vorpel::v2::load_v2_bundle(bytes);
  auto b = vorpel::v2::load_v2_bundle_file(path);
  std::remove(path.c_str());
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->model.final_norm, b->model.final_norm);
  EXPECT_EQ(a->model.heads[0].proj, b->model.heads[0].proj);
  EXPECT_TRUE(std::equal(a->model.embedding.codes().begin(), a->model.embedding.codes().end(),
                         b->model.embedding.codes().begin(), b->model.embedding.codes().end()));
  EXPECT_TRUE(a->tokenizer && b->tokenizer);
  auto missing = vorpel::v2::load_v2_bundle_file(path);
  ASSERT_FALSE(missing);
  EXPECT_EQ(msg(missing.error()), "No such file or directory (os error 2)");
}

TEST(V2Load, HugeDeclaredGeometryFailsFastOrCostsOnlyWhatIsUsed) {
  const auto t0 = std::chrono::steady_clock::now();
  {
    Geo g;
    g.vocab = 4000000000u;
    Container c = make_container(Geo{}, 10);
    c.g = g;  // the embedding entry still says [11, 12]
    EXPECT_EQ(load_error(c), "tensor 0 (embedding): shape [11, 12] does not match geometry [4000000000, 12]");
    c.entries[0].dims[0] = g.vocab;  // matching shape, but the bytes are not there
    EXPECT_EQ(load_error(c).rfind("cq: ShortBlob", 0), 0u);
  }
  {
    // Sequence length and tap distance declared near 2^32: loads, and a decode
    // state grows only with the positions it holds.
    Geo g = engram_geo();
    g.max_seq_len = 4000000000u;
    g.tap_stride = 3000000000u;
    auto b = vorpel::v2::load_v2_bundle(make_container(g, 11).bytes());
    ASSERT_TRUE(b) << msg(b.error());
    EXPECT_LT(b->model.rope.tabled_positions(), size_t{1} << 23);
    float c1, s1;
    b->model.rope.at(3999999999u, 2, c1, s1);
    EXPECT_NEAR(c1 * c1 + s1 * s1, 1.0f, 1e-5f);
    auto st = vorpel::v2::V2State::for_generation(b->model);
    EXPECT_EQ(st.capacity(), 4000000000u);
    EXPECT_LT(st.history_.size(), 100000u);
    EXPECT_LT(st.k_cache_[0].size(), 100000u);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

TEST(V2Load, OrderAndSiteCountsAboveFourReadFour) {
  Geo g = engram_geo();
  g.num_layers = 5;
  g.sites = {0, 1, 2, 4};
  g.site_count = 9;
  g.orders = {1, 2};
  g.order_count = 2;
  auto b = vorpel::v2::load_v2_bundle(make_container(g, 12).bytes());
  ASSERT_TRUE(b) << msg(b.error());
  EXPECT_EQ(b->model.engrams.size(), 4u);
  EXPECT_EQ(b->model.site_of_layer, (std::vector<int32_t>{0, 1, 2, -1, 3}));
}

// Builds small second-generation containers in memory for the v2 tests:
// a valid random model for a given geometry, with hooks to break any entry.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace v2test {

struct Geo {
  uint32_t vocab = 11, d_model = 12, num_heads = 4, num_kv_heads = 2, num_layers = 2, head_dim = 6;
  uint32_t max_seq_len = 300, hada_n = 16, mhc_lanes = 2, kv_window = 0;
  uint32_t table_rows = 5, sub_dim = 6, num_tables = 2, conv_taps = 3, tap_stride = 2;
  std::vector<uint32_t> orders{2}, sites{};  // no engram by default
  uint32_t order_count = UINT32_MAX, site_count = UINT32_MAX;  // UINT32_MAX = list sizes
  float rope_theta = 10000.0f;
  uint32_t block = 8;  // CQ block size of every matrix
  uint8_t bits = 4;    // CQ bits code of every matrix
};

struct Entry {
  uint8_t dtype = 2, ndim = 1, cq_bits = 0;
  uint32_t dims[4] = {0, 0, 0, 0};
  uint32_t cq_block = 0;
  std::vector<uint8_t> data;
};

inline void put_u32(std::vector<uint8_t>& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }

struct Container {
  Geo g;
  std::vector<Entry> entries;
  std::vector<float> codebook = std::vector<float>(28);
  std::vector<std::pair<size_t, uint32_t>> header_overrides;  // raw u32 words written last

  std::vector<uint8_t> bytes() const {
    std::vector<uint8_t> b(232 + 44 * entries.size(), 0);
    put_u32(b, 0, 0x05E12A83u);
    put_u32(b, 4, static_cast<uint32_t>(entries.size()));
    put_u32(b, 8, 28);
    std::memcpy(b.data() + 12, &g.rope_theta, 4);
    const uint32_t words[] = {g.kv_window,  g.vocab,     g.d_model,    g.num_heads, g.num_kv_heads,
                              g.num_layers, g.head_dim,  g.max_seq_len, g.hada_n,   g.mhc_lanes,
                              g.table_rows, g.sub_dim,   g.num_tables, g.conv_taps, g.tap_stride};
    for (size_t i = 0; i < 15; ++i) put_u32(b, 16 + 4 * i, words[i]);
    put_u32(b, 76, g.order_count == UINT32_MAX ? static_cast<uint32_t>(g.orders.size()) : g.order_count);
    for (size_t i = 0; i < g.orders.size() && i < 4; ++i) put_u32(b, 80 + 4 * i, g.orders[i]);
    put_u32(b, 96, g.site_count == UINT32_MAX ? static_cast<uint32_t>(g.sites.size()) : g.site_count);
    for (size_t i = 0; i < g.sites.size() && i < 4; ++i) put_u32(b, 100 + 4 * i, g.sites[i]);
    std::memcpy(b.data() + 120, codebook.data(), 112);
    for (size_t i = 0; i < entries.size(); ++i) {
      const Entry& e = entries[i];
      uint8_t* r = b.data() + 232 + 44 * i;
      r[0] = e.dtype;
      r[1] = e.ndim;
      std::memcpy(r + 4, e.dims, 16);
      const uint64_t off = b.size(), n = e.data.size();
      std::memcpy(r + 20, &off, 8);
      std::memcpy(r + 28, &n, 8);
      std::memcpy(r + 36, &e.cq_block, 4);
      r[40] = e.cq_bits;
      b.insert(b.end(), e.data.begin(), e.data.end());
    }
    for (auto [at, v] : header_overrides) put_u32(b, at, v);
    return b;
  }
};

inline Entry f32_entry(std::vector<uint32_t> dims, const std::vector<float>& v) {
  Entry e;
  e.dtype = 2;
  e.ndim = static_cast<uint8_t>(dims.size());
  for (size_t i = 0; i < dims.size(); ++i) e.dims[i] = dims[i];
  e.data.resize(v.size() * 4);
  std::memcpy(e.data.data(), v.data(), e.data.size());
  return e;
}

// Random codes and f16 scales in [0.05, 0.3): any code stream is a valid tensor.
inline Entry cq_entry(uint32_t rows, uint32_t cols, uint32_t block, uint8_t bits, std::mt19937& rng) {
  Entry e;
  e.dtype = 3;
  e.ndim = 2;
  e.dims[0] = rows;
  e.dims[1] = cols;
  e.cq_block = block;
  e.cq_bits = bits;
  const uint64_t padded = (cols + block - 1) / block * block;
  const uint64_t nbits = bits == 5 ? 2 : bits;
  const uint64_t row_bytes = nbits * padded / 8, blocks = padded / block;
  e.data.resize(rows * row_bytes + 2 * rows * blocks);
  for (uint64_t i = 0; i < rows * row_bytes; ++i) e.data[i] = static_cast<uint8_t>(rng());
  for (uint64_t i = 0; i < rows * blocks; ++i) {
    const uint16_t h = static_cast<uint16_t>(0x2A66 + rng() % 0x0900);  // ~0.05 .. 0.3
    std::memcpy(e.data.data() + rows * row_bytes + 2 * i, &h, 2);
  }
  return e;
}

inline std::vector<float> randn(size_t n, float scale, std::mt19937& rng) {
  std::normal_distribution<float> nd(0.0f, scale);
  std::vector<float> v(n);
  for (float& x : v) x = nd(rng);
  return v;
}

// A tokenizer blob with `count` ordinary pieces "a", "b", ... (pad 0, eos 1, bos 2, unk 3).
inline Entry tokenizer_entry(uint32_t count) {
  std::vector<uint8_t> b(24, 0);
  put_u32(b, 0, count);
  put_u32(b, 4, 0);
  put_u32(b, 8, 1);
  put_u32(b, 12, 2);
  put_u32(b, 16, 3);
  for (uint32_t i = 0; i < count; ++i) {
    const float score = -static_cast<float>(i);
    const uint8_t rec[7] = {0, 0, 0, 0, 0, 1, 0};
    const size_t at = b.size();
    b.insert(b.end(), rec, rec + 7);
    std::memcpy(b.data() + at, &score, 4);
    b.push_back(static_cast<uint8_t>('a' + i % 26));
  }
  Entry e;
  e.dtype = 4;
  e.ndim = 1;
  e.dims[0] = static_cast<uint32_t>(b.size());
  e.data = std::move(b);
  return e;
}

struct HeadSpec {
  float kind;
  uint32_t probes, out_dim;
};

// A complete valid container for g (weights random from seed).
inline Container make_container(const Geo& g, uint32_t seed, std::vector<HeadSpec> heads = {},
                                bool tokenizer = false) {
  std::mt19937 rng(seed);
  Container c;
  c.g = g;
  const float cb[28] = {-1.5f, -0.5f, 0.5f, 1.5f, -2.1f, -1.3f, -0.7f, -0.2f, 0.2f, 0.7f,
                        1.3f,  2.1f,  -2.7f, -2.1f, -1.6f, -1.2f, -0.8f, -0.5f, -0.25f, -0.08f,
                        0.08f, 0.25f, 0.5f,  0.8f,  1.2f,  1.6f,  2.1f,  2.7f};
  c.codebook.assign(cb, cb + 28);
  const uint32_t d = g.d_model, L = g.mhc_lanes, NL = g.num_layers, qd = g.num_heads * g.head_dim,
                 kvd = g.num_kv_heads * g.head_dim;
  auto cq = [&](uint32_t r, uint32_t cols) { c.entries.push_back(cq_entry(r, cols, g.block, g.bits, rng)); };
  auto fl = [&](std::vector<uint32_t> dims, float scale) {
    size_t n = 1;
    for (uint32_t x : dims) n *= x;
    c.entries.push_back(f32_entry(dims, randn(n, scale, rng)));
  };
  cq(g.vocab, d);
  for (uint32_t l = 0; l < NL; ++l) {
    fl({d}, 0.1f);
    cq(qd, d);
    cq(kvd, d);
    cq(kvd, d);
    fl({g.head_dim}, 0.1f);
    fl({g.head_dim}, 0.1f);
    cq(qd, d);
    cq(d, qd);
    fl({d}, 0.1f);
    fl({1}, 1.0f);
    fl({d}, 0.1f);
    for (int k = 0; k < 3; ++k) fl({g.hada_n}, 1.0f);
  }
  fl({NL}, 1.0f);
  fl({NL}, 1.0f);
  fl({NL}, 1.0f);
  fl({NL, L}, 0.5f);
  fl({NL, L}, 0.5f);
  fl({NL, L, L}, 0.5f);
  cq(NL * L, L * d);
  cq(NL * L, L * d);
  cq(NL * L * L, L * d);
  for (size_t s = 0; s < g.sites.size() && s < 4; ++s) {
    cq(g.num_tables * g.table_rows, g.sub_dim);
    cq(d, g.sub_dim * g.num_tables);
    cq(d, g.sub_dim * g.num_tables);
    fl({g.conv_taps, d}, 0.5f);
  }
  fl({d}, 0.1f);
  if (!heads.empty()) {
    std::vector<float> kinds;
    for (const HeadSpec& h : heads) kinds.push_back(h.kind);
    c.entries.push_back(f32_entry({static_cast<uint32_t>(heads.size())}, kinds));
    for (const HeadSpec& h : heads) {
      fl({h.probes, d}, 0.5f);
      fl({h.out_dim, h.probes * d}, 0.5f);
      fl({h.out_dim}, 0.5f);
    }
  }
  if (tokenizer) c.entries.push_back(tokenizer_entry(g.vocab));
  return c;
}

// Directory positions of the canon.
inline size_t layer_index(uint32_t l, uint32_t k) { return 1 + 14 * l + k; }
inline size_t mhc_index(const Geo& g, uint32_t k) { return 1 + 14 * g.num_layers + k; }
inline size_t engram_index(const Geo& g, uint32_t s, uint32_t k) { return 1 + 14 * g.num_layers + 9 + 4 * s + k; }
inline size_t final_index(const Geo& g) { return 1 + 14 * g.num_layers + 9 + 4 * g.sites.size(); }

}  // namespace v2test

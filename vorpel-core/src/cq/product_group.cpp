// Grouped matrix-vector products over the worker pool.
#include "vorpel/cq/product_group.hpp"

#include <algorithm>
#include <array>

#include "vorpel/core/panic.hpp"
#include "vorpel/cq/cq_kernels.hpp"
#include "vorpel/pool/worker_pool.hpp"

namespace vorpel::cq {

namespace {

// Below this many multiply-adds a group is not worth waking the workers.
constexpr uint64_t kSerialWork = uint64_t{1} << 18;
constexpr uint64_t kRowAlign = 16;
constexpr size_t kMaxChunks = 64;
constexpr size_t kMaxProducts = 16;
// Chunks per thread: a little slack for uneven row costs.
constexpr uint64_t kChunksPerThread = 2;

struct Chunk {
  uint32_t product;
  uint64_t begin, end;  // rows of the product's output
};

}  // namespace

void matvec_group(std::span<const Product> products) {
  uint64_t work = 0;
  for (const Product& p : products) work += p.y.size() * p.t->padded_cols();
  const uint64_t threads = pool::thread_count();
  if (threads <= 1 || work <= kSerialWork) {
    for (const Product& p : products) row_kernel(*p.t, p.x_rot, p.first, p.y);
    return;
  }
  // Cut the concatenated rows into pieces of about `target` multiply-adds,
  // never splitting a row and aligning cuts to kRowAlign rows of a product.
  const uint64_t pieces = std::min<uint64_t>(kMaxChunks, threads * kChunksPerThread);
  const uint64_t target = (work + pieces - 1) / pieces;
  // Each product adds at most one piece beyond its share of `pieces`.
  VORPEL_CHECK(products.size() <= kMaxProducts, "matvec_group: too many products");
  std::array<Chunk, kMaxChunks + kMaxProducts> chunks;
  size_t n = 0;
  for (uint32_t i = 0; i < products.size(); ++i) {
    const Product& p = products[i];
    const uint64_t rows = p.y.size(), cost = std::max<uint64_t>(1, p.t->padded_cols());
    if (rows == 0) continue;
    const uint64_t per = std::max<uint64_t>(kRowAlign, (target / cost + kRowAlign - 1) / kRowAlign * kRowAlign);
    for (uint64_t r = 0; r < rows; r += per) {
      chunks[n++] = Chunk{i, r, std::min(rows, r + per)};
    }
  }
  pool::parallel_for(n, [&](size_t c) {
    const Chunk& k = chunks[c];
    const Product& p = products[k.product];
    row_kernel(*p.t, p.x_rot, p.first + k.begin, p.y.subspan(k.begin, k.end - k.begin));
  });
}

void batch_products(std::span<const BatchProduct> products, RotatedBatch& rot, const float* x, uint64_t n,
                    uint64_t stride) {
  if (products.empty() || n == 0) return;
  VORPEL_CHECK(products.size() <= 16, "batch_products: more than 16 products");
  bool shared = true;
  for (const BatchProduct& p : products)
    shared = shared && same_rotation({products[0].t, p.t});
  auto one_by_one = [&](auto&& run) {
    for (const BatchProduct& p : products) run(p, rot.get(*p.t, x, n, stride));
  };
  if (n == 1) {
    Product one[16];
    for (size_t i = 0; i < products.size(); ++i) {
      const BatchProduct& p = products[i];
      one[i] = {p.t, {}, p.first_row, p.out.first(p.count)};
    }
    if (shared) {
      const auto xr = rot.get(*products[0].t, x, n, stride);
      for (size_t i = 0; i < products.size(); ++i) one[i].x_rot = xr.first(products[i].t->padded_cols());
      matvec_group({one, products.size()});
    } else {
      one_by_one([](const BatchProduct& p, std::span<const float> xr) {
        matvec_rotated(*p.t, xr.first(p.t->padded_cols()), p.first_row, p.out.first(p.count));
      });
    }
    return;
  }
  if (shared && products.size() > 1) {
    matmul_batch_many(products, rot.get(*products[0].t, x, n, stride), n);
  } else {
    one_by_one([n](const BatchProduct& p, std::span<const float> xr) {
      matmul_batch(*p.t, xr, n, p.first_row, p.count, p.out);
    });
  }
}

}  // namespace vorpel::cq

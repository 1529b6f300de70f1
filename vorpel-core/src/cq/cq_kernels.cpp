// CQ products: precondition checks, the split of rows or vectors over the
// worker pool, and the choice of instruction-set kernel.
#include "vorpel/cq/cq_kernels.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "cq_internal.hpp"
#include "vorpel/core/panic.hpp"
#include "vorpel/core/cpu_features.hpp"
#include "vorpel/hadamard/fwht.hpp"
#include "vorpel/pool/worker_pool.hpp"

namespace vorpel::cq {
namespace {

// Matrix-vector products up to this many multiply-adds stay on the calling
// thread: measured with two threads on 576-wide rows, a fork and join costs
// more than the second core saves up to about 256 rows (150 K) and pays from
// about 384 (220 K). Chunks are whole 32-row groups, at least one each.
constexpr uint64_t kSerialWork = 196'607;
constexpr uint64_t kMinSplitRows = 64;
constexpr uint64_t kMinChunkRows = 32;
// The batched product does about three times the work per second, so it
// stays serial up to a proportionally larger size.
constexpr uint64_t kSerialBatchWork = 0xFFFFF;
constexpr uint64_t kMinSplitVectors = 16;
constexpr uint64_t kMinChunkVectors = 8;

uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

detail::View view_of(const CqTensor& t) {
  detail::View v{};
  v.packed = t.codes().data();
  v.lut = t.lut().empty() ? nullptr : t.lut().data();
  v.rows = t.rows();
  v.b = t.block();
  v.bpr = t.blocks_per_row();
  v.padded_cols = t.padded_cols();
  v.bits = detail::lane_bits_of(t.bits_per_code());
  v.block_bytes = detail::block_bytes_of(v.b, v.bits);
  v.group_bytes = v.bpr * v.block_bytes;
  const auto lut = t.lut();
  const uint32_t k = t.codes_per_byte();
  if (k != 0) {
    // Byte value c holds code c in position 0 for every c below 2^bits.
    for (uint32_t c = 0; c < (1u << v.bits); ++c) v.cv[c] = lut[c * k];
  } else {
    // 3-bit: entries 8..15 stay zero, no nibble reaches them.
    const auto cb = t.codebook();
    for (size_t c = 0; c < cb.size() && c < 16; ++c) v.cv[c] = cb[c];
  }
  return v;
}

using RowsFn = void (*)(const detail::View&, const float*, uint64_t, uint64_t, float*);
using BatchFn = void (*)(const detail::View&, const float*, uint64_t, uint64_t, uint64_t, float*, uint64_t,
                         float*);

struct Kernels {
  RowsFn rows;
  BatchFn batch;
};

#if defined(__x86_64__)
// The AVX2 kernels widen the scales with F16C, which every AVX2 processor has
// in practice; checked anyway so that one without it takes the portable path.
bool has_f16c() {
  static const bool f16c = __builtin_cpu_supports("f16c");
  return f16c;
}
#endif

Kernels kernels() {
  switch (cpu::active_level()) {
#if defined(__x86_64__)
    case cpu::SimdLevel::Avx512:
      return {detail::rows_avx512, detail::batch_avx512};
    case cpu::SimdLevel::Avx2:
      if (has_f16c()) return {detail::rows_avx2, detail::batch_avx2};
      [[fallthrough]];
#endif
    default:
      return {detail::rows_portable, detail::batch_portable};
  }
}

void check_rows(const CqTensor& t, uint64_t first_row, uint64_t count, const char* what) {
  VORPEL_CHECK(first_row <= t.rows() && count <= t.rows() - first_row,
               std::string(what) + ": rows " + std::to_string(first_row) + ".." + std::to_string(first_row + count) +
                   " out of range for a tensor of " + std::to_string(t.rows()) + " rows");
}

void check_x_rot(const CqTensor& t, std::span<const float> x_rot, const char* what) {
  VORPEL_CHECK(x_rot.size() >= t.padded_cols(),
               std::string(what) + ": rotated input has " + std::to_string(x_rot.size()) + " values, need " +
                   std::to_string(t.padded_cols()));
}

// Rotated-domain row r with scales applied, then back to true weights.
void dequantize_into(const CqTensor& t, const detail::View& v, uint64_t r, float* buf, float* out) {
  detail::expand_row(v, r, buf);
  fwht_blockwise(std::span<float>(buf, t.padded_cols()), t.block());
  std::memcpy(out, buf, t.cols() * sizeof(float));
}

// Rows [first, first + len) cut into at most `parts` chunks of whole row
// groups (at least `min_rows` rows each, the ends clipped to the range), so
// no group is decoded by two threads.
struct RowSplit {
  uint64_t first, end, per;  // per: rows per chunk, a multiple of the group
  uint64_t g0;               // first row of the group holding `first`
  uint64_t chunks() const { return ceil_div(end - g0, per); }
  uint64_t begin_of(uint64_t c) const { return std::max(first, g0 + c * per); }
  uint64_t end_of(uint64_t c) const { return std::min(end, g0 + (c + 1) * per); }
};

RowSplit split_rows(uint64_t first, uint64_t len, uint64_t parts, uint64_t min_rows) {
  const uint64_t g = detail::kGroupRows;
  const uint64_t g0 = first / g * g;
  const uint64_t span = first + len - g0;
  const uint64_t per = std::max(ceil_div(ceil_div(span, parts), g), ceil_div(min_rows, g)) * g;
  return {first, first + len, per, g0};
}

}  // namespace

void dequantize_row(const CqTensor& t, uint64_t r, std::span<float> out) {
  VORPEL_CHECK(r < t.rows(), "dequantize_row: row " + std::to_string(r) + " out of range for a tensor of " +
                                 std::to_string(t.rows()) + " rows");
  VORPEL_CHECK(out.size() >= t.cols(), "dequantize_row: output holds " + std::to_string(out.size()) +
                                           " values, need " + std::to_string(t.cols()));
  std::vector<float> buf(t.padded_cols());
  dequantize_into(t, view_of(t), r, buf.data(), out.data());
}

void decode_row(const CqTensor& t, uint64_t r, float* out, float* buf) {
  VORPEL_CHECK(r < t.rows(), "decode_row: row out of range");
  dequantize_into(t, view_of(t), r, buf, out);
}

std::vector<float> dense(const CqTensor& t) {
  std::vector<float> out(t.rows() * t.cols());
  std::vector<float> buf(t.padded_cols());
  const detail::View v = view_of(t);
  for (uint64_t r = 0; r < t.rows(); ++r) dequantize_into(t, v, r, buf.data(), out.data() + r * t.cols());
  return out;
}

void rotate_input(const CqTensor& t, std::span<const float> x, std::span<float> x_rot) {
  VORPEL_CHECK(x.size() == t.cols(), "rotate_input: input has " + std::to_string(x.size()) +
                                         " values, the tensor has " + std::to_string(t.cols()) + " columns");
  VORPEL_CHECK(x_rot.size() == t.padded_cols(), "rotate_input: rotated buffer has " +
                                                    std::to_string(x_rot.size()) + " values, need " +
                                                    std::to_string(t.padded_cols()));
  if (x_rot.empty()) return;
  std::copy(x.begin(), x.end(), x_rot.begin());
  std::fill(x_rot.begin() + static_cast<ptrdiff_t>(x.size()), x_rot.end(), 0.0f);
  fwht_blockwise(x_rot, t.block());
}

void row_kernel(const CqTensor& t, std::span<const float> x_rot, uint64_t first_row, std::span<float> y) {
  check_rows(t, first_row, y.size(), "row_kernel");
  check_x_rot(t, x_rot, "row_kernel");
  if (y.empty()) return;
  kernels().rows(view_of(t), x_rot.data(), first_row, y.size(), y.data());
}

void matvec_rotated(const CqTensor& t, std::span<const float> x_rot, uint64_t first_row, std::span<float> y) {
  check_rows(t, first_row, y.size(), "matvec_rotated");
  check_x_rot(t, x_rot, "matvec_rotated");
  const uint64_t len = y.size();
  if (len == 0) return;
  const detail::View v = view_of(t);
  const RowsFn rows = kernels().rows;
  const uint64_t threads = pool::thread_count();
  // len <= rows and padded_cols <= 4 * code bytes, so the product cannot overflow.
  if (threads > 1 && len >= kMinSplitRows && len * t.padded_cols() > kSerialWork) {
    struct Job {
      const detail::View* v;
      RowsFn rows;
      const float* x;
      float* y;
      RowSplit split;
    } job{&v, rows, x_rot.data(), y.data(), split_rows(first_row, len, threads, kMinChunkRows)};
    // Everything behind one pointer: a small, trivially copyable closure.
    pool::parallel_for(job.split.chunks(), [j = &job](size_t c) {
      const uint64_t a = j->split.begin_of(c), e = j->split.end_of(c);
      j->rows(*j->v, j->x, a, e - a, j->y + (a - j->split.first));
    });
    return;
  }
  rows(v, x_rot.data(), first_row, len, y.data());
}

void matvec(const CqTensor& t, std::span<const float> x, std::span<float> y) {
  VORPEL_CHECK(y.size() <= t.rows(), "matvec: output holds " + std::to_string(y.size()) +
                                         " values, the tensor has " + std::to_string(t.rows()) + " rows");
  std::vector<float> x_rot(t.padded_cols());
  rotate_input(t, x, x_rot);
  matvec_rotated(t, x_rot, 0, y);
}

// Expanded-group panel of the batched product, one per thread and grown to
// the widest tensor seen, so a prompt pass allocates nothing per chunk. The
// kernel writes every value it reads, so stale contents never leak into a result.
static float* batch_panel(size_t len) {
  thread_local std::vector<float, LineAllocator<float>> buf;
  if (buf.size() < len) buf.resize(len);
  return buf.data();
}

namespace {

void check_batch(const CqTensor& t, std::span<const float> x_rot, uint64_t n, uint64_t first_row, uint64_t count,
                 std::span<float> out) {
  check_rows(t, first_row, count, "matmul_batch");
  const uint64_t pc = t.padded_cols();
  VORPEL_CHECK(pc == 0 || n <= x_rot.size() / pc,
               "matmul_batch: rotated inputs hold " + std::to_string(x_rot.size()) + " values, need " +
                   std::to_string(n) + " x " + std::to_string(pc));
  VORPEL_CHECK(count == 0 || n <= out.size() / count,
               "matmul_batch: output holds " + std::to_string(out.size()) + " values, need " + std::to_string(n) +
                   " x " + std::to_string(count));
}

}  // namespace

void matmul_batch(const CqTensor& t, std::span<const float> x_rot, uint64_t n, uint64_t first_row,
                  uint64_t count, std::span<float> out) {
  check_batch(t, x_rot, n, first_row, count, out);
  const uint64_t pc = t.padded_cols();
  if (n == 0 || count == 0) return;
  const detail::View v = view_of(t);
  const BatchFn batch = kernels().batch;
  const float* x = x_rot.data();
  float* o = out.data();
  const size_t panel_len = detail::kGroupRows * pc;

  // n * pc <= x_rot.size() and count * pc <= rows * pc, so only the triple
  // product needs a wide type.
  const unsigned __int128 work = static_cast<unsigned __int128>(n) * count * pc;
  const uint64_t threads = pool::thread_count();
  if (threads > 1 && work > kSerialBatchWork) {
    if (count >= kMinSplitRows) {
      const RowSplit split = split_rows(first_row, count, threads, kMinChunkRows);
      pool::parallel_for(split.chunks(), [&](size_t c) {
        const uint64_t a = split.begin_of(c), e = split.end_of(c);
        batch(v, x, n, a, e - a, o + (a - first_row), count, batch_panel(panel_len));
      });
      return;
    }
    if (n >= kMinSplitVectors) {
      const uint64_t chunk = std::max(ceil_div(n, threads), kMinChunkVectors);
      pool::parallel_for(ceil_div(n, chunk), [&](size_t c) {
        const uint64_t j0 = c * chunk;
        const uint64_t nv = std::min(chunk, n - j0);
        batch(v, x + j0 * pc, nv, first_row, count, o + j0 * count, count, batch_panel(panel_len));
      });
      return;
    }
  }
  batch(v, x, n, first_row, count, o, count, batch_panel(panel_len));
}

void matmul_batch_many(std::span<const BatchProduct> products, std::span<const float> x_rot, uint64_t n) {
  if (products.empty() || n == 0) return;
  const uint64_t pc = products[0].t->padded_cols();
  unsigned __int128 work = 0;
  for (const BatchProduct& p : products) {
    VORPEL_CHECK(p.t->padded_cols() == pc, "matmul_batch_many: tensors of different widths share one input");
    check_batch(*p.t, x_rot, n, p.first_row, p.count, p.out);
    work += static_cast<unsigned __int128>(n) * p.count * pc;
  }
  const uint64_t threads = pool::thread_count();
  const BatchFn batch = kernels().batch;
  const float* x = x_rot.data();
  const size_t panel_len = detail::kGroupRows * pc;
  if (threads <= 1 || work <= kSerialBatchWork) {
    for (const BatchProduct& p : products)
      if (p.count != 0)
        batch(view_of(*p.t), x, n, p.first_row, p.count, p.out.data(), p.count, batch_panel(panel_len));
    return;
  }
  // Jobs: each product split as matmul_batch splits it (rows when it has
  // enough, else vectors), all handed out from one region.
  struct Job {
    const BatchProduct* p;
    uint64_t row0, rows, vec0, vecs;
  };
  // Kept per calling thread, so a prompt pass allocates nothing per chunk; the
  // workers must reach the caller's list, hence the plain reference.
  thread_local std::vector<Job> kept_jobs;
  std::vector<Job>& jobs = kept_jobs;
  jobs.clear();
  for (const BatchProduct& p : products) {
    if (p.count == 0) continue;
    if (p.count >= kMinSplitRows) {
      const RowSplit split = split_rows(p.first_row, p.count, threads, kMinChunkRows);
      for (uint64_t c = 0; c < split.chunks(); ++c)
        jobs.push_back({&p, split.begin_of(c), split.end_of(c) - split.begin_of(c), 0, n});
    } else if (n >= kMinSplitVectors) {
      const uint64_t chunk = std::max(ceil_div(n, threads), kMinChunkVectors);
      for (uint64_t j0 = 0; j0 < n; j0 += chunk) jobs.push_back({&p, p.first_row, p.count, j0, std::min(chunk, n - j0)});
    } else {
      jobs.push_back({&p, p.first_row, p.count, 0, n});
    }
  }
  pool::parallel_for(jobs.size(), [&](size_t c) {
    const Job& j = jobs[c];
    const uint64_t cnt = j.p->count;
    batch(view_of(*j.p->t), x + j.vec0 * pc, j.vecs, j.row0, j.rows,
          j.p->out.data() + j.vec0 * cnt + (j.row0 - j.p->first_row), cnt, batch_panel(panel_len));
  });
}

}  // namespace vorpel::cq

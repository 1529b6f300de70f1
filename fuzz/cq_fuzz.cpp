// CQ decoding with arbitrary parameters: 8 bytes of rows/cols, 1 byte block
// exponent or raw block, 1 byte bits code, 28 codebook floats, then the blob.
// Tensors that decode are dequantised and multiplied.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vorpel/cq/cq_kernels.hpp"
#include "vorpel/cq/cq_tensor.hpp"

using namespace vorpel::cq;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 10 + 28 * 4) return 0;
  uint32_t rows32, cols32;
  std::memcpy(&rows32, data, 4);
  std::memcpy(&cols32, data + 4, 4);
  // Mostly small shapes so decodes succeed; the top bit asks for a huge one.
  const uint64_t rows = (rows32 & 0x80000000u) ? (uint64_t{rows32} << 24) : (rows32 & 0xff);
  const uint64_t cols = (cols32 & 0x80000000u) ? (uint64_t{cols32} << 24) : (cols32 & 0x3ff);
  const uint8_t b = data[8];
  const uint64_t block = (b & 0x80) ? uint64_t{1} << (b & 63) : b;
  const uint8_t bits = data[9];
  const size_t cb_len = size > 200 ? 28 : (data[10] % 30);
  std::vector<float> codebook(cb_len);
  if (cb_len) std::memcpy(codebook.data(), data + 10, std::min<size_t>(cb_len, 28) * 4);
  std::span<const uint8_t> blob(data + 10 + 28 * 4, size - 10 - 28 * 4);

  auto t = decode(blob, rows, cols, block, bits, codebook);
  if (!t) {
    (void)debug_string(t.error());
    return 0;
  }
  if (t->rows() * t->cols() > (1u << 16)) return 0;
  std::vector<float> row(t->cols());
  for (uint64_t r = 0; r < t->rows(); ++r) dequantize_row(*t, r, row);
  std::vector<float> d = dense(*t);
  const uint64_t nr = t->rows(), nc = t->cols();
  for (uint64_t r = 0; r < nr; ++r) {
    dequantize_row(*t, r, row);
    if (std::memcmp(row.data(), d.data() + r * nc, nc * 4) != 0) {
      std::fprintf(stderr, "dense row %llu differs from dequantize_row\n", static_cast<unsigned long long>(r));
      std::abort();
    }
  }
  // The product against the dense weights, summed in double.
  std::vector<float> x(nc), y(nr);
  for (uint64_t c = 0; c < nc; ++c) x[c] = static_cast<float>((c * 7919 % 23)) / 11.0f - 1.0f;
  matvec(*t, x, y);
  for (uint64_t r = 0; r < nr; ++r) {
    // The product is summed in the rotated domain, where the padding codes
    // count too: its rounding is bounded through the norm of the whole padded
    // row (scales times the largest code value) and |x|.
    double ref = 0, ww = 0, xx = 0, vmax = 0;
    for (float v : t->codebook()) vmax = std::max(vmax, std::fabs(double{v}));
    for (uint64_t k = 0; k < t->blocks_per_row(); ++k) {
      const double sc = t->scales()[r * t->blocks_per_row() + k];
      ww += sc * sc * vmax * vmax * static_cast<double>(t->block());
    }
    for (uint64_t c = 0; c < nc; ++c) {
      ref += double{d[r * nc + c]} * x[c];
      xx += double{x[c]} * x[c];
    }
    const double mag = 1e-6 * static_cast<double>(nc + 64) * std::sqrt(ww * xx);
    if (!std::isfinite(mag) || !std::isfinite(ref) || !std::isfinite(y[r])) continue;
    if (std::fabs(y[r] - ref) > mag + 1e-30) {
      std::fprintf(stderr, "row %llu: matvec %g, reference %g (magnitude %g)\n", static_cast<unsigned long long>(r),
                   y[r], ref, mag);
      std::abort();
    }
  }
  return 0;
}

// CQ decoding with arbitrary parameters: 8 bytes of rows/cols, 1 byte block
// exponent or raw block, 1 byte bits code, 28 codebook floats, then the blob.
// Tensors that decode are dequantised and multiplied.
#include <cstddef>
#include <cstdint>
#include <algorithm>
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
  std::vector<float> x(t->cols(), 0.5f), y(t->rows());
  matvec(*t, x, y);
  return 0;
}

// The packed 4-bit weight: construction, the load-time quantiser, the portable
// product kernel and the choice of instruction-set kernel.
#include "vorpel/v1/quant.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "quant_internal.hpp"
#include "vorpel/core/checked.hpp"
#include "vorpel/core/cpu_features.hpp"
#include "vorpel/core/panic.hpp"

namespace vorpel::v1 {

namespace {

constexpr float kMinScale = 1e-8f;

uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

}  // namespace

uint64_t QuantLinear::packed_bytes(uint64_t in, uint64_t out) { return sat_mul(ceil_div(in, 2), out); }

uint64_t QuantLinear::scale_count(uint64_t in, uint64_t out) { return sat_mul(ceil_div(in, kQuantGroup), out); }

QuantLinear QuantLinear::from_packed(uint64_t in, uint64_t out, std::span<const uint8_t> packed,
                                     std::vector<float> scales) {
  VORPEL_CHECK(packed.size() == packed_bytes(in, out) && scales.size() == scale_count(in, out),
               "4-bit weight of " + std::to_string(in) + " x " + std::to_string(out) + " given " +
                   std::to_string(packed.size()) + " bytes and " + std::to_string(scales.size()) + " scales");
  QuantLinear q;
  q.in_ = in;
  q.out_ = out;
  q.packed_.assign(packed.begin(), packed.end());
  q.scales_ = std::move(scales);
  // A file may leave anything in the nibble past the last row; the kernels
  // never read it, but the canonical form keeps it 0.
  if (in % 2 != 0 && out != 0) {
    uint8_t* last = q.packed_.data() + (in / 2) * out;
    for (uint64_t c = 0; c < out; ++c) last[c] &= 0x0F;
  }
  return q;
}

int8_t quantize_value(float v, float scale) {
  const float t = v / scale;
  if (std::isnan(t)) return 0;
  const float r = std::round(t);  // halves away from zero
  return static_cast<int8_t>(std::clamp(r, -8.0f, 7.0f));
}

QuantLinear QuantLinear::quantize(uint64_t in, uint64_t out, std::span<const float> w) {
  VORPEL_CHECK(w.size() == sat_mul(in, out), "quantize: " + std::to_string(w.size()) + " values for " +
                                                 std::to_string(in) + " x " + std::to_string(out));
  QuantLinear q = zeros(in, out);
  std::vector<float> amax(out);
  for (uint64_t g = 0; g * kQuantGroup < in; ++g) {
    const uint64_t r0 = g * kQuantGroup, r1 = std::min(in, r0 + kQuantGroup);
    std::fill(amax.begin(), amax.end(), 0.0f);
    for (uint64_t r = r0; r < r1; ++r)
      for (uint64_t c = 0; c < out; ++c) {
        const float a = std::fabs(w[r * out + c]);
        if (a > amax[c]) amax[c] = a;  // NaN compares false: ignored
      }
    float* s = q.scales_.data() + g * out;
    for (uint64_t c = 0; c < out; ++c) s[c] = std::max(amax[c] / 7.0f, kMinScale);
    for (uint64_t r = r0; r < r1; ++r) {
      uint8_t* row = q.packed_.data() + (r / 2) * out;
      const unsigned shift = (r % 2) * 4;
      for (uint64_t c = 0; c < out; ++c)
        row[c] |= static_cast<uint8_t>((quantize_value(w[r * out + c], s[c]) & 0x0F) << shift);
    }
  }
  return q;
}

QuantLinear QuantLinear::zeros(uint64_t in, uint64_t out) {
  QuantLinear q;
  q.in_ = in;
  q.out_ = out;
  q.packed_.assign(packed_bytes(in, out), 0);
  q.scales_.assign(scale_count(in, out), kMinScale);
  return q;
}

int QuantLinear::code(uint64_t r, uint64_t c) const {
  const uint8_t b = packed_[(r / 2) * out_ + c];
  return r % 2 == 0 ? detail::lo_nibble(b) : detail::hi_nibble(b);
}

namespace detail {

void products_portable(const QView& v, const float* x, uint64_t rows, uint64_t c0, uint64_t c1, float* y) {
  constexpr uint64_t kChunk = 64;
  float total[kChunk], acc[kChunk];
  for (uint64_t m = 0; m < rows; ++m) {
    const float* xm = x + m * v.in;
    for (uint64_t cb = c0; cb < c1; cb += kChunk) {
      const uint64_t n = std::min(kChunk, c1 - cb);
      std::fill(total, total + n, 0.0f);
      for (uint64_t r0 = 0; r0 < v.in; r0 += kQuantGroup) {
        const uint64_t r1 = std::min(v.in, r0 + kQuantGroup);
        std::fill(acc, acc + n, 0.0f);
        uint64_t r = r0;
        for (; r + 1 < r1; r += 2) {
          const uint8_t* row = v.packed + (r / 2) * v.out + cb;
          const float xl = xm[r], xh = xm[r + 1];
          for (uint64_t c = 0; c < n; ++c) {
            acc[c] += xl * static_cast<float>(lo_nibble(row[c]));
            acc[c] += xh * static_cast<float>(hi_nibble(row[c]));
          }
        }
        if (r < r1) {  // odd in_features: the last row has only its low nibble
          const uint8_t* row = v.packed + (r / 2) * v.out + cb;
          for (uint64_t c = 0; c < n; ++c) acc[c] += xm[r] * static_cast<float>(lo_nibble(row[c]));
        }
        const float* s = v.scales + (r0 / kQuantGroup) * v.out + cb;
        for (uint64_t c = 0; c < n; ++c) total[c] += acc[c] * s[c];
      }
      std::copy(total, total + n, y + m * v.out + cb);
    }
  }
}

}  // namespace detail

namespace {

detail::QView view_of(const QuantLinear& w) {
  return {w.packed().data(), w.scales().data(), w.in_features(), w.out_features()};
}

void products(const QuantLinear& w, const float* x, uint64_t rows, float* y) {
  const detail::QView v = view_of(w);
  switch (cpu::active_level()) {
#if defined(__x86_64__)
    case cpu::SimdLevel::Avx512: return detail::products_avx512(v, x, rows, y);
    case cpu::SimdLevel::Avx2: return detail::products_avx2(v, x, rows, y);
#endif
    default: return detail::products_portable(v, x, rows, 0, v.out, y);
  }
}

}  // namespace

void matvec(const QuantLinear& w, std::span<const float> x, std::span<float> y) {
  VORPEL_CHECK(x.size() == w.in_features() && y.size() == w.out_features(),
               "4-bit product: input of " + std::to_string(x.size()) + " and output of " + std::to_string(y.size()) +
                   " for a " + std::to_string(w.in_features()) + " x " + std::to_string(w.out_features()) +
                   " weight");
  products(w, x.data(), 1, y.data());
}

void matmul(const QuantLinear& w, std::span<const float> x, uint64_t rows, std::span<float> y) {
  VORPEL_CHECK(x.size() == sat_mul(rows, w.in_features()) && y.size() == sat_mul(rows, w.out_features()),
               "4-bit batched product: buffers of " + std::to_string(x.size()) + " and " +
                   std::to_string(y.size()) + " for " + std::to_string(rows) + " rows of a " +
                   std::to_string(w.in_features()) + " x " + std::to_string(w.out_features()) + " weight");
  if (rows == 0) return;
  products(w, x.data(), rows, y.data());
}

}  // namespace vorpel::v1

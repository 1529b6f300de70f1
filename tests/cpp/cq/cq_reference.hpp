// Test-side CQ encoder and plain double-precision reference: bits read one by
// one from the row stream, binary16 decoded with ldexp, a dense Hadamard matrix.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "simd_levels.hpp"

namespace cqref {

using simdtest::LevelGuard;
using simdtest::levels;
using simdtest::SimdLevel;

inline uint32_t bits_of(uint8_t code) { return code == 5 ? 2 : code; }

inline double half_value(uint16_t h) {
  const int sign = h >> 15, e = (h >> 10) & 31, m = h & 1023;
  const double mag = e == 0 ? std::ldexp(m, -24) : std::ldexp(1024 + m, e - 25);
  return sign ? -mag : mag;
}

// An encoded tensor with its parameters.
struct Encoded {
  uint64_t rows, cols, b;
  uint8_t code;
  uint64_t padded, bpr, row_bytes;
  std::vector<uint8_t> bytes;   // codes then binary16 scales
  std::vector<float> codebook;  // 28 floats

  uint32_t code_at(uint64_t r, uint64_t j) const {
    const uint32_t nb = bits_of(code);
    uint32_t c = 0;
    for (uint32_t q = 0; q < nb; ++q) {
      const uint64_t bit = j * nb + q;
      c |= ((bytes[r * row_bytes + bit / 8] >> (bit % 8)) & 1u) << q;
    }
    return c;
  }
  double value(uint32_t c) const {
    switch (code) {
      case 2: return codebook[c];
      case 3: return codebook[4 + c];
      case 4: return codebook[12 + c];
      default: {
        const double t = static_cast<double>(std::bit_cast<float>(0x3F9CAC3Eu) / std::sqrt(static_cast<float>(b)));
        return c == 1 ? t : c == 3 ? -t : 0.0;
      }
    }
  }
  double scale(uint64_t r, uint64_t k) const {
    const uint64_t at = rows * row_bytes + 2 * (r * bpr + k);
    return half_value(static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8)));
  }
  // Weight of row r at padded column j in the rotated domain.
  double rotated(uint64_t r, uint64_t j) const { return scale(r, j / b) * value(code_at(r, j)); }
};

inline Encoded make_encoded(std::mt19937& rng, uint64_t rows, uint64_t cols, uint64_t b, uint8_t code) {
  Encoded e{rows, cols, b, code, 0, 0, 0, {}, {}};
  e.bpr = (cols + b - 1) / b;
  e.padded = e.bpr * b;
  e.row_bytes = bits_of(code) * e.padded / 8;
  e.bytes.resize(rows * e.row_bytes + 2 * rows * e.bpr);
  std::uniform_int_distribution<int> byte(0, 255);
  for (uint64_t i = 0; i < rows * e.row_bytes; ++i) e.bytes[i] = static_cast<uint8_t>(byte(rng));
  // Scales of modest range with random sign and mantissa.
  std::uniform_int_distribution<int> expo(9, 17), mant(0, 1023), sign(0, 1);
  for (uint64_t i = 0; i < rows * e.bpr; ++i) {
    const uint16_t h = static_cast<uint16_t>((sign(rng) << 15) | (expo(rng) << 10) | mant(rng));
    e.bytes[rows * e.row_bytes + 2 * i] = static_cast<uint8_t>(h & 0xFF);
    e.bytes[rows * e.row_bytes + 2 * i + 1] = static_cast<uint8_t>(h >> 8);
  }
  std::uniform_real_distribution<float> cb(-1.0f, 1.0f);
  e.codebook.resize(28);
  for (auto& v : e.codebook) v = cb(rng);
  return e;
}

inline double hadamard_entry(uint64_t i, uint64_t j) { return std::popcount(i & j) & 1 ? -1.0 : 1.0; }

// x zero-padded and rotated per block with a dense Hadamard matrix.
inline std::vector<double> rotate(const Encoded& e, const std::vector<float>& x) {
  std::vector<double> out(e.padded, 0.0);
  const double s = 1.0 / std::sqrt(static_cast<double>(e.b));
  for (uint64_t k = 0; k < e.bpr; ++k)
    for (uint64_t i = 0; i < e.b; ++i) {
      double acc = 0;
      for (uint64_t t = 0; t < e.b; ++t) {
        const uint64_t j = k * e.b + t;
        if (j < e.cols) acc += hadamard_entry(i, t) * x[j];
      }
      out[k * e.b + i] = acc * s;
    }
  return out;
}

// True weights (rows x cols) from the rotated ones.
inline std::vector<double> dense(const Encoded& e) {
  std::vector<double> w(e.rows * e.cols);
  const double s = 1.0 / std::sqrt(static_cast<double>(e.b));
  for (uint64_t r = 0; r < e.rows; ++r)
    for (uint64_t j = 0; j < e.cols; ++j) {
      const uint64_t k = j / e.b, i = j % e.b;
      double acc = 0;
      for (uint64_t t = 0; t < e.b; ++t) acc += hadamard_entry(i, t) * e.rotated(r, k * e.b + t);
      w[r * e.cols + j] = acc * s;
    }
  return w;
}

// All rotated-domain weights, rows x padded, row-major.
inline std::vector<double> rotated_all(const Encoded& e) {
  std::vector<double> w(e.rows * e.padded);
  for (uint64_t r = 0; r < e.rows; ++r)
    for (uint64_t j = 0; j < e.padded; ++j) w[r * e.padded + j] = e.rotated(r, j);
  return w;
}

inline std::vector<double> block_l1(const Encoded& e, const std::vector<float>& x) {
  std::vector<double> out(e.bpr, 0.0);
  for (uint64_t j = 0; j < e.cols; ++j) out[j / e.b] += std::fabs(x[j]);
  return out;
}

struct RefRow {
  double y;      // exact value of the row product
  double bound;  // allowed f32 error
};

// Row r applied to a vector whose exact rotation is x_rot (and whose float
// rotation may carry its own rounding: `xl1_per_block` holds |x|_1 per block).
inline RefRow row_ref(const Encoded& e, const std::vector<double>& w_rot, uint64_t r,
                      const std::vector<double>& x_rot, const std::vector<double>& xl1_per_block) {
  double y = 0, mag = 0, rot_err = 0;
  for (uint64_t k = 0; k < e.bpr; ++k) {
    double wl1 = 0;
    for (uint64_t t = 0; t < e.b; ++t) {
      const uint64_t j = k * e.b + t;
      const double w = w_rot[r * e.padded + j];
      y += w * x_rot[j];
      mag += std::fabs(w * x_rot[j]);
      wl1 += std::fabs(w);
    }
    rot_err += wl1 * xl1_per_block[k] / std::sqrt(static_cast<double>(e.b));
  }
  const double eps = 1.1920929e-7;
  const double chain = 4.0 * std::sqrt(static_cast<double>(e.padded)) + 32.0;
  const double stages = std::log2(static_cast<double>(e.b)) + 2.0;
  return {y, eps * (chain * mag + stages * rot_err) + 1e-30};
}

inline std::vector<float> random_x(std::mt19937& rng, uint64_t n) {
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> x(n);
  for (auto& v : x) v = d(rng);
  return x;
}

}  // namespace cqref

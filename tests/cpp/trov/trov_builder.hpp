// Builds .trov images byte by byte for the reader tests, independently of
// the reader: a fixed header, the codebook area, 44-byte records and data.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace trov_test {

struct RawEntry {
  uint8_t dtype = 2, ndim = 1, cq_bits = 0;
  std::array<uint32_t, 4> dims{};
  uint32_t cq_block = 0;
  std::vector<uint8_t> data;
  std::optional<uint64_t> offset, nbytes;  // default: where the data lands, its size
};

class ImageBuilder {
 public:
  explicit ImageBuilder(bool v3) : v3_(v3), header_(v3 ? 196 : 120, 0) {
    put32(0, v3 ? 0x05E12A84u : 0x05E12A83u);
    put32(8, 28);
    for (int i = 0; i < 28; ++i) codebook_[i] = 0.25f * static_cast<float>(i - 14);
  }

  // A second-generation geometry that passes every reader check.
  static ImageBuilder valid_v2() {
    ImageBuilder b(false);
    const uint32_t words[][2] = {{20, 16}, {24, 8}, {28, 4}, {32, 2}, {36, 2},
                                 {40, 4},  {44, 32}, {48, 8}, {52, 2}};
    for (auto& w : words) b.put32(w[0], w[1]);
    return b;
  }

  ImageBuilder& put32(size_t off, uint32_t v) { return put(off, &v, 4); }
  ImageBuilder& put64(size_t off, uint64_t v) { return put(off, &v, 8); }
  ImageBuilder& putf(size_t off, float v) { return put(off, &v, 4); }
  ImageBuilder& put8(size_t off, uint8_t v) { return put(off, &v, 1); }
  ImageBuilder& count_override(uint32_t n) {
    count_override_ = n;
    return *this;
  }
  std::array<float, 28>& codebook() { return codebook_; }

  size_t add(RawEntry e) {
    entries_.push_back(std::move(e));
    return entries_.size() - 1;
  }
  size_t add_f32(std::vector<float> v, std::vector<uint32_t> dims) {
    RawEntry e;
    e.dtype = 2;
    e.ndim = static_cast<uint8_t>(dims.size());
    for (size_t i = 0; i < dims.size(); ++i) e.dims[i] = dims[i];
    e.data.resize(v.size() * 4);
    std::memcpy(e.data.data(), v.data(), e.data.size());
    return add(std::move(e));
  }

  size_t directory_start() const { return v3_ ? 308 : 232; }
  size_t data_start() const { return directory_start() + 44 * entries_.size(); }

  std::vector<uint8_t> build() const {
    std::vector<uint8_t> out(header_);
    const uint32_t count = count_override_ ? *count_override_ : static_cast<uint32_t>(entries_.size());
    std::memcpy(out.data() + 4, &count, 4);
    for (float f : codebook_) append(out, &f, 4);
    uint64_t pos = data_start();
    std::vector<uint8_t> data;
    for (const auto& e : entries_) {
      uint8_t rec[44] = {};
      rec[0] = e.dtype;
      rec[1] = e.ndim;
      for (int d = 0; d < 4; ++d) std::memcpy(rec + 4 + 4 * d, &e.dims[d], 4);
      const uint64_t off = e.offset ? *e.offset : pos;
      const uint64_t nb = e.nbytes ? *e.nbytes : e.data.size();
      std::memcpy(rec + 20, &off, 8);
      std::memcpy(rec + 28, &nb, 8);
      std::memcpy(rec + 36, &e.cq_block, 4);
      rec[40] = e.cq_bits;
      append(out, rec, 44);
      data.insert(data.end(), e.data.begin(), e.data.end());
      pos += e.data.size();
    }
    out.insert(out.end(), data.begin(), data.end());
    return out;
  }

 private:
  ImageBuilder& put(size_t off, const void* p, size_t n) {
    std::memcpy(header_.data() + off, p, n);
    return *this;
  }
  static void append(std::vector<uint8_t>& out, const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    out.insert(out.end(), b, b + n);
  }

  bool v3_;
  std::vector<uint8_t> header_;
  std::array<float, 28> codebook_{};
  std::vector<RawEntry> entries_;
  std::optional<uint32_t> count_override_;
};

}  // namespace trov_test

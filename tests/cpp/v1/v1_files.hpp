// Test helpers for first-generation files: a safetensors image from named
// tensors and metadata, small weight factories, and a capture of what the
// process writes to standard error (the loader's warnings).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace v1test {

struct Tensor {
  std::string name, dtype;
  std::vector<uint64_t> shape;
  std::vector<uint8_t> bytes;
};

using Metadata = std::vector<std::pair<std::string, std::string>>;

inline Tensor f32(std::string name, std::vector<uint64_t> shape, const std::vector<float>& v) {
  Tensor t{std::move(name), "F32", std::move(shape), std::vector<uint8_t>(v.size() * 4)};
  if (!v.empty()) std::memcpy(t.bytes.data(), v.data(), t.bytes.size());
  return t;
}

inline Tensor raw(std::string name, std::string dtype, std::vector<uint64_t> shape, std::vector<uint8_t> bytes) {
  return Tensor{std::move(name), std::move(dtype), std::move(shape), std::move(bytes)};
}

// Header with "__metadata__" first (when given), tensors in order, data packed
// without gaps.
inline std::vector<uint8_t> safetensors(const std::vector<Tensor>& tensors, const Metadata& metadata = {}) {
  std::string h = "{";
  bool first = true;
  if (!metadata.empty()) {
    h += "\"__metadata__\":{";
    for (size_t i = 0; i < metadata.size(); ++i)
      h += (i ? "," : "") + ("\"" + metadata[i].first + "\":\"" + metadata[i].second + "\"");
    h += "}";
    first = false;
  }
  uint64_t off = 0;
  for (const Tensor& t : tensors) {
    if (!first) h += ",";
    first = false;
    h += "\"" + t.name + "\":{\"dtype\":\"" + t.dtype + "\",\"shape\":[";
    for (size_t i = 0; i < t.shape.size(); ++i) {
      if (i) h += ',';
      h += std::to_string(t.shape[i]);
    }
    h += "],\"data_offsets\":[" + std::to_string(off) + "," + std::to_string(off + t.bytes.size()) + "]}";
    off += t.bytes.size();
  }
  h += "}";
  std::vector<uint8_t> out;
  out.reserve(8 + h.size());
  for (uint64_t n = h.size(), k = 0; k < 8; ++k) out.push_back(static_cast<uint8_t>(n >> (8 * k)));
  out.insert(out.end(), h.begin(), h.end());
  for (const Tensor& t : tensors) out.insert(out.end(), t.bytes.begin(), t.bytes.end());
  return out;
}

inline std::vector<float> normal(size_t n, float std, std::mt19937_64& rng) {
  std::normal_distribution<float> d(0.0f, std);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  return v;
}

// Redirects file descriptor 2 into a temporary file for the lifetime of the
// object; lines() returns what was written, split at line ends.
class StderrCapture {
 public:
  StderrCapture() : file_(std::tmpfile()) {
    std::fflush(stderr);
    saved_ = dup(2);
    dup2(fileno(file_), 2);
  }
  ~StderrCapture() {
    restore();
    std::fclose(file_);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  std::vector<std::string> lines() {
    restore();
    std::string all;
    std::rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) all.append(buf, n);
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i < all.size(); ++i)
      if (all[i] == '\n') {
        out.push_back(all.substr(start, i - start));
        start = i + 1;
      }
    if (start < all.size()) out.push_back(all.substr(start));
    return out;
  }

 private:
  void restore() {
    if (saved_ >= 0) {
      std::fflush(stderr);
      dup2(saved_, 2);
      close(saved_);
      saved_ = -1;
    }
  }
  std::FILE* file_;
  int saved_ = -1;
};

}  // namespace v1test

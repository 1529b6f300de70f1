// The first generation's weight file: a safetensors image read by its own
// header scanner (no JSON library), the tensor table and metadata, and the
// widening of each tensor to 32-bit floats.
//
// Layout: u64 little-endian header length N, N bytes of UTF-8 JSON object,
// then the data section; "data_offsets" count from its first byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vorpel/safetensors/safetensors_error.hpp"

namespace vorpel::st {

// The codes, in this order; I4 packs two signed nibbles per byte, low first.
enum class Dtype : uint8_t { F32, BF16, F16, I8, I4 };

struct TensorInfo {
  Dtype dtype = Dtype::F32;
  std::vector<uint64_t> shape;  // possibly empty
  uint64_t begin = 0, end = 0;  // as written; checked only when the tensor is requested
};

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using TensorTable = std::unordered_map<std::string, TensorInfo, StringHash, std::equal_to<>>;

class SafetensorsFile {
 public:
  // Takes the whole file; keeps only the data section, releasing the rest.
  static std::expected<SafetensorsFile, SafetensorsError> parse(std::vector<uint8_t> buffer);

  // nullptr when the name is absent.
  const TensorInfo* info(std::string_view name) const;

  // The tensor widened to floats, element count taken from the byte range.
  // nullopt when the name is absent, or for an I4 tensor whose shape does not
  // hold exactly two values per byte (reported on standard error). An error
  // when the byte range is reversed or leaves the data section.
  std::expected<std::optional<std::vector<float>>, SafetensorsError> get_f32(
      std::string_view name) const;

  // The tensor's stored bytes (pre-quantised weights), range-checked; a view
  // valid while this file lives. An absent name is an error.
  std::expected<std::span<const uint8_t>, SafetensorsError> raw(std::string_view name) const;

  const std::unordered_map<std::string, std::string>& metadata() const { return metadata_; }
  const TensorTable& tensors() const { return tensors_; }
  std::span<const uint8_t> data() const { return data_; }

 private:
  SafetensorsFile() = default;
  std::expected<std::span<const uint8_t>, SafetensorsError> bytes_of(std::string_view name,
                                                                     const TensorInfo& t) const;

  std::vector<uint8_t> data_;  // every byte after the header
  TensorTable tensors_;
  std::unordered_map<std::string, std::string> metadata_;
};

}  // namespace vorpel::st

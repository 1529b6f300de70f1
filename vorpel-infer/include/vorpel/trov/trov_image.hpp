// The parsed .trov container: fixed header, 28-float CQ codebook and tensor
// directory, validated once; tensors are handed out by directory index.
//
// Layout (little-endian, nothing aligned):
//   second generation: header 0..119, codebook 120..231, directory from 232
//   third generation:  header 0..195, codebook 196..307, directory from 308
//   directory record (44 bytes): u8 dtype, u8 ndim, 2 reserved, 4 x u32 dims,
//   u64 offset, u64 nbytes, u32 cq_block, u8 cq_bits, 3 reserved.
// Tensor data is found only through the absolute offsets of the directory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

#include "vorpel/cq/cq_tensor.hpp"
#include "vorpel/trov/trov_error.hpp"

namespace vorpel::trov {

inline constexpr uint32_t kTagV2 = 0x05E12A83;
inline constexpr uint32_t kTagV3 = 0x05E12A84;

inline constexpr size_t kHeaderBytesV2 = 120;
inline constexpr size_t kHeaderBytesV3 = 196;
inline constexpr size_t kCodebookFloats = 28;
inline constexpr size_t kCodebookBytes = kCodebookFloats * 4;
inline constexpr size_t kDirectoryStartV2 = kHeaderBytesV2 + kCodebookBytes;  // 232
inline constexpr size_t kDirectoryStartV3 = kHeaderBytesV3 + kCodebookBytes;  // 308
inline constexpr size_t kEntryBytes = 44;

// Dtype codes of a directory entry.
inline constexpr uint8_t kDtypeF16 = 1;
inline constexpr uint8_t kDtypeF32 = 2;
inline constexpr uint8_t kDtypeCq = 3;
inline constexpr uint8_t kDtypeBytes = 4;

struct TensorEntry {
  uint8_t dtype = 0;
  uint8_t ndim = 0;                   // meaningful dims, 0..=4
  uint8_t cq_bits = 0;                // CQ bits code; ignored for other dtypes
  std::array<uint64_t, 4> dims{};     // dims past ndim kept as stored, never compared
  uint64_t offset = 0;                // absolute, from the start of the file
  uint64_t nbytes = 0;
  uint64_t cq_block = 0;              // CQ block size; ignored for other dtypes
};

enum class Version : uint8_t { V2, V3 };

class TrovImage {
 public:
  // Both take ownership of the image; on error it is released.
  static std::expected<TrovImage, TrovError> parse_v2(std::vector<uint8_t> image);
  static std::expected<TrovImage, TrovError> parse_v3(std::vector<uint8_t> image);

  Version version() const { return version_; }
  std::span<const uint8_t> image() const { return image_; }
  size_t header_size() const { return version_ == Version::V2 ? kHeaderBytesV2 : kHeaderBytesV3; }

  // Raw header words; an offset whose value would reach past the fixed header panics.
  uint32_t header_u32(size_t offset) const;
  uint64_t header_u64(size_t offset) const;
  float header_f32(size_t offset) const;
  uint8_t header_u8(size_t offset) const;

  // v2: orders (count at 76, clamped to 4); v3: orders (count at 104, clamped to 4).
  const std::vector<uint32_t>& first_list() const { return first_list_; }
  // v2: engram_sites (count at 96, clamped to 4); v3: sites (count at 124, clamped to 16).
  const std::vector<uint32_t>& second_list() const { return second_list_; }
  const std::vector<float>& codebook() const { return codebook_; }  // 28 floats
  const std::vector<TensorEntry>& entries() const { return entries_; }
  size_t tensor_count() const { return entries_.size(); }

  // An index >= tensor_count() is a caller error (panic).
  const TensorEntry& entry(size_t index) const;
  // dtype 1 (widened) or 2.
  std::expected<std::vector<float>, TrovError> floats(size_t index) const;
  // dtype 3, decoded with the container codebook.
  std::expected<cq::CqTensor, TrovError> cq_tensor(size_t index) const;
  // dtype 3, rows x cols row-major, every row dequantised.
  std::expected<std::vector<float>, TrovError> dense_cq(size_t index) const;
  // dtype 4, a view into the image (valid while this TrovImage lives).
  std::expected<std::span<const uint8_t>, TrovError> bytes(size_t index) const;

  // Succeeds when ndim equals expected.size() and those dims match; else ShapeMismatch.
  std::expected<void, TrovError> check_shape(size_t index, std::string_view name,
                                             std::span<const uint64_t> expected) const;
  std::expected<void, TrovError> check_shape(size_t index, std::string_view name,
                                             std::initializer_list<uint64_t> expected) const {
    return check_shape(index, name, std::span<const uint64_t>(expected.begin(), expected.size()));
  }

 private:
  TrovImage() = default;
  static std::expected<TrovImage, TrovError> parse_common(std::vector<uint8_t> image, Version v);
  // The entry's data after re-checking it lies inside the image.
  std::expected<std::span<const uint8_t>, TrovError> data_of(size_t index) const;

  Version version_ = Version::V2;
  std::vector<uint8_t> image_;
  std::vector<uint32_t> first_list_;
  std::vector<uint32_t> second_list_;
  std::vector<float> codebook_;
  std::vector<TensorEntry> entries_;
};

}  // namespace vorpel::trov

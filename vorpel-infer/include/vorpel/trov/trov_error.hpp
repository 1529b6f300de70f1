// Error values of the .trov container reader and of the canon loaders built
// on it. Each kind carries the numbers of its fixed message, in message order.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vorpel/cq/cq_error.hpp"

namespace vorpel::trov {

struct TrovError {
  enum class Kind : uint8_t {
    TooShort,             // a = need, b = got
    BadTag,               // a = tag found, b = tag wanted
    BadCodebookLen,       // a = floats found
    BlobOutOfRange,       // a = index, b = offset, c = nbytes, d = file length
    BadNdim,              // a = index, b = ndim
    DtypeMismatch,        // a = index, b = dtype found, c = dtype wanted
    RaggedBlob,           // a = index, b = nbytes
    TensorCountTooSmall,  // a = needed, b = present
    ShapeMismatch,        // a = index, label = name, found / expected = dims
    BadGeometry,          // label = header field
    BadHeadManifest,      // a = number of extra tensors
    UnknownHeadCode,      // a = code
    Cq,                   // cq = codec error
  };

  Kind kind;
  uint64_t a = 0, b = 0, c = 0, d = 0;
  std::string label;
  std::vector<uint64_t> found, expected;
  cq::CqError cq{};

  static TrovError too_short(uint64_t need, uint64_t got);
  static TrovError bad_tag(uint32_t found, uint32_t wanted);
  static TrovError bad_codebook_len(uint64_t found);
  static TrovError blob_out_of_range(uint64_t index, uint64_t offset, uint64_t nbytes,
                                     uint64_t file_len);
  static TrovError bad_ndim(uint64_t index, uint64_t ndim);
  static TrovError dtype_mismatch(uint64_t index, uint64_t found, uint64_t wanted);
  static TrovError ragged_blob(uint64_t index, uint64_t nbytes);
  static TrovError tensor_count_too_small(uint64_t needed, uint64_t present);
  static TrovError shape_mismatch(uint64_t index, std::string_view name,
                                  std::span<const uint64_t> found,
                                  std::span<const uint64_t> expected);
  static TrovError bad_geometry(std::string_view label);
  static TrovError bad_head_manifest(uint64_t extra);
  static TrovError unknown_head_code(uint8_t code);
  static TrovError from_cq(const cq::CqError& e);
};

// The user-visible text of an error (what the engines raise in Python).
std::string message(const TrovError& e);

}  // namespace vorpel::trov

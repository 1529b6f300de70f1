// Exact texts of the container errors.
#include <cstdio>
#include <string>

#include "vorpel/trov/trov_error.hpp"

namespace vorpel::trov {

namespace {

using std::to_string;

std::string hex32(uint64_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(v & 0xFFFFFFFFu));
  return buf;
}

// Decimal text of a 128-bit value: an entry's end offset may not fit in 64 bits.
std::string u128_decimal(unsigned __int128 v) {
  if (v == 0) return "0";
  std::string s;
  while (v != 0) {
    s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  }
  return s;
}

std::string dims_text(const std::vector<uint64_t>& dims) {
  std::string s = "[";
  for (size_t i = 0; i < dims.size(); ++i) {
    if (i) s += ", ";
    s += to_string(dims[i]);
  }
  return s + "]";
}

TrovError make(TrovError::Kind k, uint64_t a = 0, uint64_t b = 0, uint64_t c = 0, uint64_t d = 0) {
  TrovError e{};
  e.kind = k;
  e.a = a;
  e.b = b;
  e.c = c;
  e.d = d;
  return e;
}

}  // namespace

TrovError TrovError::too_short(uint64_t need, uint64_t got) { return make(Kind::TooShort, need, got); }
TrovError TrovError::bad_tag(uint32_t found, uint32_t wanted) {
  return make(Kind::BadTag, found, wanted);
}
TrovError TrovError::bad_codebook_len(uint64_t found) { return make(Kind::BadCodebookLen, found); }
TrovError TrovError::blob_out_of_range(uint64_t index, uint64_t offset, uint64_t nbytes,
                                       uint64_t file_len) {
  return make(Kind::BlobOutOfRange, index, offset, nbytes, file_len);
}
TrovError TrovError::bad_ndim(uint64_t index, uint64_t ndim) { return make(Kind::BadNdim, index, ndim); }
TrovError TrovError::dtype_mismatch(uint64_t index, uint64_t found, uint64_t wanted) {
  return make(Kind::DtypeMismatch, index, found, wanted);
}
TrovError TrovError::ragged_blob(uint64_t index, uint64_t nbytes) {
  return make(Kind::RaggedBlob, index, nbytes);
}
TrovError TrovError::tensor_count_too_small(uint64_t needed, uint64_t present) {
  return make(Kind::TensorCountTooSmall, needed, present);
}
TrovError TrovError::shape_mismatch(uint64_t index, std::string_view name,
                                    std::span<const uint64_t> found,
                                    std::span<const uint64_t> expected) {
  TrovError e = make(Kind::ShapeMismatch, index);
  e.label = std::string(name);
  e.found.assign(found.begin(), found.end());
  e.expected.assign(expected.begin(), expected.end());
  return e;
}
TrovError TrovError::bad_geometry(std::string_view label) {
  TrovError e = make(Kind::BadGeometry);
  e.label = std::string(label);
  return e;
}
TrovError TrovError::bad_head_manifest(uint64_t extra) { return make(Kind::BadHeadManifest, extra); }
TrovError TrovError::unknown_head_code(uint8_t code) { return make(Kind::UnknownHeadCode, code); }
TrovError TrovError::from_cq(const cq::CqError& err) {
  TrovError e = make(Kind::Cq);
  e.cq = err;
  return e;
}

std::string message(const TrovError& e) {
  using K = TrovError::Kind;
  switch (e.kind) {
    case K::TooShort:
      return "trov truncated: need at least " + to_string(e.a) + " bytes, got " + to_string(e.b);
    case K::BadTag:
      return "not a trov blob: tag " + hex32(e.a) + ", want " + hex32(e.b);
    case K::BadCodebookLen:
      return "header codebook is " + to_string(e.a) + " floats, want 28 (cb2|cb3|cb4)";
    case K::BlobOutOfRange: {
      const unsigned __int128 end = static_cast<unsigned __int128>(e.b) + e.c;
      return "tensor " + to_string(e.a) + " spans " + to_string(e.b) + ".." + u128_decimal(end) +
             " but the file is " + to_string(e.d) + " bytes";
    }
    case K::BadNdim:
      return "tensor " + to_string(e.a) + " has ndim " + to_string(e.b) + ", want 0..=4";
    case K::DtypeMismatch:
      return "tensor " + to_string(e.a) + " has dtype " + to_string(e.b) + ", want " + to_string(e.c);
    case K::RaggedBlob:
      return "tensor " + to_string(e.a) + " has " + to_string(e.b) +
             " bytes, not a whole element count";
    case K::TensorCountTooSmall:
      return "the canon for this geometry needs " + to_string(e.a) + " tensors, directory has " +
             to_string(e.b);
    case K::ShapeMismatch:
      return "tensor " + to_string(e.a) + " (" + e.label + "): shape " + dims_text(e.found) +
             " does not match geometry " + dims_text(e.expected);
    case K::BadGeometry:
      return "header field " + e.label + " must be non-zero";
    case K::BadHeadManifest:
      return to_string(e.a) + " trailing tensors is not 1 + 3*heads for any head count";
    case K::UnknownHeadCode:
      return "unknown probe-head code " + to_string(e.a);
    case K::Cq:
      return "cq: " + cq::debug_string(e.cq);
  }
  return "unknown trov error";
}

}  // namespace vorpel::trov

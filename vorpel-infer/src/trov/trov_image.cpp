// Parsing and validation of .trov containers, and the per-tensor accessors.
// Every value is copied out of the image after a bounds check; sizes read
// from the file are checked against the file length before anything is
// allocated for them.
#include <string>
#include <utility>

#include "vorpel/core/half.hpp"
#include "vorpel/core/le_bytes.hpp"
#include "vorpel/core/panic.hpp"
#include "vorpel/cq/cq_kernels.hpp"
#include "vorpel/trov/header_layout.hpp"
#include "vorpel/trov/trov_image.hpp"

namespace vorpel::trov {

namespace {

// Header offsets shared by both versions.
constexpr size_t kOffTag = 0, kOffTensorCount = 4, kOffCodebookFloats = 8;

// Second-generation geometry words checked by the reader.
constexpr size_t kV2Vocab = v2_offset("vocab"), kV2DModel = v2_offset("d_model"),
                 kV2NumHeads = v2_offset("num_heads"), kV2NumKvHeads = v2_offset("num_kv_heads"),
                 kV2NumLayers = v2_offset("num_layers"), kV2HeadDim = v2_offset("head_dim"),
                 kV2MaxSeqLen = v2_offset("max_seq_len"), kV2HadaN = v2_offset("hada_n"),
                 kV2MhcLanes = v2_offset("mhc_lanes"), kV2TableRows = v2_offset("table_rows"),
                 kV2SubDim = v2_offset("sub_dim"), kV2NumTables = v2_offset("num_tables");

using ListSpec = ListLayout;
constexpr ListSpec kV2First = kV2Orders, kV2Second = kV2Sites, kV3First = kV3Orders, kV3Second = kV3Sites;

std::vector<uint32_t> read_list(const std::vector<uint8_t>& img, ListSpec s) {
  const uint32_t stored = load_u32(img.data() + s.count_at);
  const size_t n = stored < s.slots ? stored : s.slots;
  std::vector<uint32_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = load_u32(img.data() + s.first_at + 4 * i);
  return out;
}

bool is_power_of_two(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// offset + nbytes within len, without overflowing.
bool span_fits(uint64_t offset, uint64_t nbytes, uint64_t len) {
  return offset <= len && nbytes <= len - offset;
}

// The second-generation geometry checks, in the order callers see them.
std::expected<void, TrovError> check_v2_geometry(const std::vector<uint8_t>& img) {
  auto u32 = [&](size_t off) { return load_u32(img.data() + off); };
  struct Named {
    size_t off;
    const char* name;
  };
  static constexpr Named kNonZero[] = {
      {kV2Vocab, "vocab"},         {kV2DModel, "d_model"},       {kV2NumHeads, "num_heads"},
      {kV2NumKvHeads, "num_kv_heads"}, {kV2NumLayers, "num_layers"}, {kV2HeadDim, "head_dim"},
      {kV2MaxSeqLen, "max_seq_len"}, {kV2MhcLanes, "mhc_lanes"},
  };
  for (const auto& f : kNonZero)
    if (u32(f.off) == 0) return std::unexpected(TrovError::bad_geometry(f.name));
  if (u32(kV2NumHeads) % u32(kV2NumKvHeads) != 0)
    return std::unexpected(TrovError::bad_geometry("num_heads % num_kv_heads"));
  const uint32_t hada_n = u32(kV2HadaN);
  if (hada_n < u32(kV2DModel) || !is_power_of_two(hada_n))
    return std::unexpected(TrovError::bad_geometry("hada_n"));
  const std::vector<uint32_t> sites = read_list(img, kV2Second);
  if (!sites.empty()) {
    if (u32(kV2TableRows) == 0 || u32(kV2SubDim) == 0 || u32(kV2NumTables) == 0)
      return std::unexpected(TrovError::bad_geometry("engram geometry"));
    for (uint32_t s : sites)
      if (s >= u32(kV2NumLayers))
        return std::unexpected(TrovError::bad_geometry("engram_sites beyond num_layers"));
  }
  return {};
}

}  // namespace

std::expected<TrovImage, TrovError> TrovImage::parse_v2(std::vector<uint8_t> image) {
  if (image.size() < kHeaderBytesV2)
    return std::unexpected(TrovError::too_short(kHeaderBytesV2, image.size()));
  const uint32_t tag = load_u32(image.data() + kOffTag);
  if (tag != kTagV2) return std::unexpected(TrovError::bad_tag(tag, kTagV2));
  if (auto ok = check_v2_geometry(image); !ok) return std::unexpected(std::move(ok.error()));
  return parse_common(std::move(image), Version::V2);
}

std::expected<TrovImage, TrovError> TrovImage::parse_v3(std::vector<uint8_t> image) {
  if (image.size() < kHeaderBytesV3)
    return std::unexpected(TrovError::too_short(kHeaderBytesV3, image.size()));
  const uint32_t tag = load_u32(image.data() + kOffTag);
  if (tag != kTagV3) return std::unexpected(TrovError::bad_tag(tag, kTagV3));
  return parse_common(std::move(image), Version::V3);
}

std::expected<TrovImage, TrovError> TrovImage::parse_common(std::vector<uint8_t> image,
                                                            Version v) {
  const bool v2 = v == Version::V2;
  const uint8_t* p = image.data();
  const uint32_t cb_floats = load_u32(p + kOffCodebookFloats);
  if (cb_floats != kCodebookFloats) return std::unexpected(TrovError::bad_codebook_len(cb_floats));

  // tensor_count is a u32, so this sum cannot overflow; checking it against
  // the file before reserving bounds the directory allocation by the file.
  const uint64_t count = load_u32(p + kOffTensorCount);
  const uint64_t dir_start = v2 ? kDirectoryStartV2 : kDirectoryStartV3;
  const uint64_t need = dir_start + kEntryBytes * count;
  if (image.size() < need) return std::unexpected(TrovError::too_short(need, image.size()));

  TrovImage t;
  t.version_ = v;
  t.first_list_ = read_list(image, v2 ? kV2First : kV3First);
  t.second_list_ = read_list(image, v2 ? kV2Second : kV3Second);
  const size_t cb_at = v2 ? kHeaderBytesV2 : kHeaderBytesV3;
  t.codebook_.resize(kCodebookFloats);
  for (size_t i = 0; i < kCodebookFloats; ++i) t.codebook_[i] = load_f32(p + cb_at + 4 * i);

  const uint64_t len = image.size();
  t.entries_.reserve(count);
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* r = p + dir_start + kEntryBytes * i;
    TensorEntry e;
    e.dtype = r[0];
    e.ndim = r[1];
    for (size_t d = 0; d < 4; ++d) e.dims[d] = load_u32(r + 4 + 4 * d);
    e.offset = load_u64(r + 20);
    e.nbytes = load_u64(r + 28);
    e.cq_block = load_u32(r + 36);
    e.cq_bits = r[40];
    if (e.ndim > 4) return std::unexpected(TrovError::bad_ndim(i, e.ndim));
    if (!span_fits(e.offset, e.nbytes, len))
      return std::unexpected(TrovError::blob_out_of_range(i, e.offset, e.nbytes, len));
    t.entries_.push_back(e);
  }
  t.image_ = std::move(image);
  return t;
}

uint32_t TrovImage::header_u32(size_t offset) const {
  VORPEL_CHECK(offset <= header_size() && header_size() - offset >= 4,
               "trov header read past the fixed header");
  return load_u32(image_.data() + offset);
}

uint64_t TrovImage::header_u64(size_t offset) const {
  VORPEL_CHECK(offset <= header_size() && header_size() - offset >= 8,
               "trov header read past the fixed header");
  return load_u64(image_.data() + offset);
}

float TrovImage::header_f32(size_t offset) const {
  VORPEL_CHECK(offset <= header_size() && header_size() - offset >= 4,
               "trov header read past the fixed header");
  return load_f32(image_.data() + offset);
}

uint8_t TrovImage::header_u8(size_t offset) const {
  VORPEL_CHECK(offset < header_size(), "trov header read past the fixed header");
  return image_[offset];
}

const TensorEntry& TrovImage::entry(size_t index) const {
  VORPEL_CHECK(index < entries_.size(), "trov tensor index " + std::to_string(index) +
                                            " out of range (" + std::to_string(entries_.size()) +
                                            " tensors)");
  return entries_[index];
}

std::expected<std::span<const uint8_t>, TrovError> TrovImage::data_of(size_t index) const {
  const TensorEntry& e = entry(index);
  if (!span_fits(e.offset, e.nbytes, image_.size()))
    return std::unexpected(TrovError::blob_out_of_range(index, e.offset, e.nbytes, image_.size()));
  return std::span<const uint8_t>(image_.data() + e.offset, e.nbytes);
}

std::expected<std::vector<float>, TrovError> TrovImage::floats(size_t index) const {
  const TensorEntry& e = entry(index);
  if (e.dtype != kDtypeF16 && e.dtype != kDtypeF32)
    return std::unexpected(TrovError::dtype_mismatch(index, e.dtype, kDtypeF16));
  const uint64_t width = e.dtype == kDtypeF32 ? 4 : 2;
  if (e.nbytes % width != 0) return std::unexpected(TrovError::ragged_blob(index, e.nbytes));
  auto data = data_of(index);
  if (!data) return std::unexpected(std::move(data.error()));
  const size_t n = data->size() / width;
  std::vector<float> out(n);
  const uint8_t* src = data->data();
  if (e.dtype == kDtypeF32) {
    for (size_t i = 0; i < n; ++i) out[i] = load_f32(src + 4 * i);
  } else {
    for (size_t i = 0; i < n; ++i) out[i] = half_to_float(load_u16(src + 2 * i));
  }
  return out;
}

std::expected<cq::CqTensor, TrovError> TrovImage::cq_tensor(size_t index) const {
  const TensorEntry& e = entry(index);
  if (e.dtype != kDtypeCq) return std::unexpected(TrovError::dtype_mismatch(index, e.dtype, kDtypeCq));
  auto data = data_of(index);
  if (!data) return std::unexpected(std::move(data.error()));
  auto t = cq::decode(*data, e.dims[0], e.dims[1], e.cq_block, e.cq_bits, codebook_);
  if (!t) return std::unexpected(TrovError::from_cq(t.error()));
  return std::move(*t);
}

std::expected<std::vector<float>, TrovError> TrovImage::dense_cq(size_t index) const {
  auto t = cq_tensor(index);
  if (!t) return std::unexpected(std::move(t.error()));
  return cq::dense(*t);
}

std::expected<std::span<const uint8_t>, TrovError> TrovImage::bytes(size_t index) const {
  const TensorEntry& e = entry(index);
  if (e.dtype != kDtypeBytes)
    return std::unexpected(TrovError::dtype_mismatch(index, e.dtype, kDtypeBytes));
  return data_of(index);
}

std::expected<void, TrovError> TrovImage::check_shape(size_t index, std::string_view name,
                                                      std::span<const uint64_t> expected) const {
  const TensorEntry& e = entry(index);
  bool ok = e.ndim == expected.size();
  for (size_t d = 0; ok && d < expected.size(); ++d) ok = e.dims[d] == expected[d];
  if (ok) return {};
  return std::unexpected(TrovError::shape_mismatch(
      index, name, std::span<const uint64_t>(e.dims.data(), e.ndim), expected));
}

}  // namespace vorpel::trov

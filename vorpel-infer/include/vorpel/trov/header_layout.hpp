// The fixed headers of both container versions, written down once: every
// word by name, offset and kind, in offset order. The reader's checks, the
// generation loaders and the inspect tool look fields up here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vorpel::trov {

enum class FieldKind : uint8_t {
  U32,
  U64,
  F32,
  Flags,      // four bytes carried, never interpreted
  FirstList,  // entries of the first list (orders); its count is the word before
  SecondList, // entries of the second list (engram sites); its count is the word before
};

struct HeaderField {
  std::string_view name;
  size_t offset;
  FieldKind kind;
};

inline constexpr HeaderField kV2Header[] = {
    {"tag", 0, FieldKind::U32},           {"tensor_count", 4, FieldKind::U32},
    {"codebook_floats", 8, FieldKind::U32}, {"rope_theta", 12, FieldKind::F32},
    {"kv_window", 16, FieldKind::U32},    {"vocab", 20, FieldKind::U32},
    {"d_model", 24, FieldKind::U32},      {"num_heads", 28, FieldKind::U32},
    {"num_kv_heads", 32, FieldKind::U32}, {"num_layers", 36, FieldKind::U32},
    {"head_dim", 40, FieldKind::U32},     {"max_seq_len", 44, FieldKind::U32},
    {"hada_n", 48, FieldKind::U32},       {"mhc_lanes", 52, FieldKind::U32},
    {"table_rows", 56, FieldKind::U32},   {"sub_dim", 60, FieldKind::U32},
    {"num_tables", 64, FieldKind::U32},   {"conv_taps", 68, FieldKind::U32},
    {"tap_stride", 72, FieldKind::U32},   {"order_count", 76, FieldKind::U32},
    {"orders", 80, FieldKind::FirstList}, {"site_count", 96, FieldKind::U32},
    {"engram_sites", 100, FieldKind::SecondList}, {"flags", 116, FieldKind::Flags},
};

inline constexpr HeaderField kV3Header[] = {
    {"magic", 0, FieldKind::U32},          {"tensor_count", 4, FieldKind::U32},
    {"codebook_len", 8, FieldKind::U32},   {"kept_12", 12, FieldKind::U32},
    {"kept_16", 16, FieldKind::U32},       {"vocab_size", 20, FieldKind::U32},
    {"logit_rows", 24, FieldKind::U32},    {"d_model", 28, FieldKind::U32},
    {"num_heads", 32, FieldKind::U32},     {"num_kv_heads", 36, FieldKind::U32},
    {"num_layers", 40, FieldKind::U32},    {"head_dim", 44, FieldKind::U32},
    {"value_dim", 48, FieldKind::U32},     {"max_seq_len", 52, FieldKind::U32},
    {"hada_n", 56, FieldKind::U32},        {"mhc_lanes", 60, FieldKind::U32},
    {"kv_window", 64, FieldKind::U32},     {"global_layer_mask", 68, FieldKind::U64},
    {"qkv_conv_taps", 76, FieldKind::U32}, {"table_rows", 80, FieldKind::U32},
    {"sub_dim", 84, FieldKind::U32},       {"num_tables", 88, FieldKind::U32},
    {"conv_taps", 92, FieldKind::U32},     {"tap_stride", 96, FieldKind::U32},
    {"engram_seed_stride", 100, FieldKind::U32}, {"order_count", 104, FieldKind::U32},
    {"orders", 108, FieldKind::FirstList}, {"site_count", 124, FieldKind::U32},
    {"engram_sites", 128, FieldKind::SecondList}, {"rope_theta", 192, FieldKind::F32},
};

// Offset of a named field; a name that is not in the table fails to compile
// when used in a constant expression (and throws otherwise).
constexpr size_t field_offset(std::span<const HeaderField> table, std::string_view name) {
  for (const HeaderField& f : table)
    if (f.name == name) return f.offset;
  throw "unknown header field";
}
consteval size_t v2_offset(std::string_view name) { return field_offset(kV2Header, name); }
consteval size_t v3_offset(std::string_view name) { return field_offset(kV3Header, name); }

// The two lists: count word, first entry, slots read at most.
struct ListLayout {
  size_t count_at, first_at, slots;
};
inline constexpr ListLayout kV2Orders{v2_offset("order_count"), v2_offset("orders"), 4};
inline constexpr ListLayout kV2Sites{v2_offset("site_count"), v2_offset("engram_sites"), 4};
inline constexpr ListLayout kV3Orders{v3_offset("order_count"), v3_offset("orders"), 4};
inline constexpr ListLayout kV3Sites{v3_offset("site_count"), v3_offset("engram_sites"), 16};

}  // namespace vorpel::trov

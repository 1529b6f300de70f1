// Geometry of a second-generation model: every count the forward pass sizes
// its buffers and loops by, as read from the container header.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace vorpel::v2 {

struct V2Geometry {
  std::vector<uint64_t> orders;        // n-gram order of each order group (at most 4)
  std::vector<uint64_t> engram_sites;  // layer index of each engram site, in stored order (at most 4)
  uint64_t table_rows = 0, sub_dim = 0, num_tables = 0, conv_taps = 0, tap_stride = 0;
  uint64_t vocab = 0, d_model = 0, num_heads = 0, num_kv_heads = 0, num_layers = 0, head_dim = 0;
  uint64_t max_seq_len = 0, hada_n = 0, mhc_lanes = 0, kv_window = 0;
  float rope_theta = 0.0f;
  std::array<uint8_t, 4> flags{};  // carried, never interpreted

  uint64_t q_dim() const { return num_heads * head_dim; }
  uint64_t kv_dim() const { return num_kv_heads * head_dim; }
  uint64_t lanes_width() const { return mhc_lanes * d_model; }
  // Slots of an engram value ring: enough for the farthest tap plus the current position.
  uint64_t ring_len() const { return conv_taps * tap_stride + 1; }
  uint64_t tables_per_order() const { return orders.empty() ? 0 : num_tables / orders.size(); }
};

}  // namespace vorpel::v2

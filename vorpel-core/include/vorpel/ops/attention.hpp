// Attention over a key/value cache view, shared by every generation: ring or
// linear slots, a window given as the first attended position, grouped query
// heads, and f32 rows or int8 rows with one scale per stored head vector.
#pragma once

#include <cstdint>

namespace vorpel::ops {

// One layer's cache. Position p lives in slot p % slots (a linear cache is a
// ring that never wraps); a slot holds kv_heads key vectors of k_width floats
// (or int8 values) and kv_heads value vectors of v_width, head-major.
struct KvView {
  const float* k = nullptr;  // f32 keys (slots, kv_heads, k_width), or null for int8 rows
  const float* v = nullptr;  // f32 values (slots, kv_heads, v_width)
  const int8_t* k8 = nullptr;      // int8 keys, read as byte * k_scale
  const int8_t* v8 = nullptr;      // int8 values, read as byte * v_scale
  const float* k_scale = nullptr;  // (slots, kv_heads)
  const float* v_scale = nullptr;  // (slots, kv_heads)
  uint64_t slots = 0;
  uint64_t kv_heads = 0;
  uint64_t k_width = 0;  // key and query width of a head
  uint64_t v_width = 0;  // value and output width of a head

  bool int8() const { return k == nullptr; }
};

// Query heads [h0, h1) attend over the n positions first .. first + n - 1:
// score_i = (q_h . k_i) / scale_div, softmax with the uniform fallback, and
// out_h = sum_i w_i v_i. Head h uses kv head h / group; query h is at
// q + h * k_width and its output (overwritten) at out + h * v_width. Heads
// sharing a kv head go together, so each cached row is read once per group.
// scores: (h1 - h0) * n floats of work. n must be at least 1.
void attend(const KvView& kv, uint64_t group, const float* q, float* out, uint64_t h0, uint64_t h1, uint64_t first,
            uint64_t n, float scale_div, float* scores);

// The kernels behind attend, for tests: G queries (k_width apart) against n
// rows starting at slot `slot` (no wrap), scores[g * sstride + i]; and the
// weighted sums out[g * v_width ..] += sum_i w[g * wstride + i] * v_i.
void attention_scores(const KvView& kv, uint64_t kv_head, uint64_t slot, const float* q, uint64_t G, uint64_t n,
                      float scale_div, float* scores, uint64_t sstride);
void attention_accumulate(const KvView& kv, uint64_t kv_head, uint64_t slot, const float* w, uint64_t wstride,
                          uint64_t G, uint64_t n, float* out);

}  // namespace vorpel::ops

// Attention over a key/value cache view, shared by every generation: ring or
// linear slots, a window given as the first attended position, grouped query
// heads, and f32 rows or int8 rows with one scale per stored head vector.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vorpel::ops {

// One layer's cache. Position p lives in slot p % slots (a linear cache is a
// ring that never wraps). Each (slot, kv head) holds a key row of k_width
// floats (or int8 values, with one scale) and a value row of v_width.
//
// Rows are stored slot-major, (slots, kv_heads, width), or head-major,
// (kv_heads, head_rows, width) with head_rows >= slots: a decode step reads
// one head's rows in order, and contiguous rows stream from memory about twice
// as fast as rows strided by the other heads.
struct KvView {
  const float* k = nullptr;  // f32 keys, or null for int8 rows
  const float* v = nullptr;  // f32 values
  const int8_t* k8 = nullptr;      // int8 keys, read as byte * k_scale
  const int8_t* v8 = nullptr;      // int8 values, read as byte * v_scale
  const float* k_scale = nullptr;  // one per row, same layout with width 1
  const float* v_scale = nullptr;
  uint64_t slots = 0;
  uint64_t kv_heads = 0;
  uint64_t k_width = 0;    // key and query width of a head
  uint64_t v_width = 0;    // value and output width of a head
  uint64_t head_rows = 0;  // head-major: rows per kv head; 0 = slot-major

  bool int8() const { return k == nullptr; }
  // Row index of (slot, kv head), and the distance between consecutive slots, in rows.
  uint64_t row(uint64_t slot, uint64_t head) const { return head_rows ? head * head_rows + slot : slot * kv_heads + head; }
  uint64_t row_step() const { return head_rows ? 1 : kv_heads; }
};

// A head-major cache (heads, rows, width) widened to new_rows rows per head in
// place: every head's rows keep their slot, new rows are `fill`.
template <class T>
void grow_head_major(std::vector<T>& c, uint64_t heads, uint64_t rows, uint64_t new_rows, uint64_t width, T fill) {
  if (new_rows <= rows) return;
  c.resize(heads * new_rows * width, fill);
  // Move the last head first: its new block lies past every old one.
  for (uint64_t h = heads; h-- > 0;) {
    T* dst = c.data() + h * new_rows * width;
    const T* src = c.data() + h * rows * width;
    if (h > 0) std::memmove(dst, src, rows * width * sizeof(T));
    std::fill(dst + rows * width, dst + new_rows * width, fill);
  }
}

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

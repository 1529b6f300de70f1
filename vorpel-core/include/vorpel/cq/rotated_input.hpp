// Rotated copies of one input vector, one per CQ block size in use, so that
// every matrix reading that input shares one rotation per block size.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "vorpel/cq/cq_tensor.hpp"

namespace vorpel::cq {

class RotatedInput {
 public:
  // Forget the rotations (the input changed).
  void invalidate() { used_ = 0; }
  // The rotation of x for t: reuses a slot of the same block size, else
  // rotates into a free one. Panics when more block sizes than slots are in use.
  std::span<const float> get(const CqTensor& t, std::span<const float> x);
  // Makes room for the tensors that will read this input, so get() allocates nothing later.
  void reserve_for(const CqTensor& t);

 private:
  struct Slot {
    uint64_t block = 0;       // 0 = empty
    std::vector<float> data;  // padded_cols floats
  };
  std::array<Slot, 4> slots_;
  size_t used_ = 0;
};

// True when the tensors read one rotation of their input (same block and
// width), so one rotated buffer serves them all.
inline bool same_rotation(std::initializer_list<const CqTensor*> ts) {
  const CqTensor* first = *ts.begin();
  for (const CqTensor* t : ts)
    if (t->block() != first->block() || t->padded_cols() != first->padded_cols()) return false;
  return true;
}

// The rotated rows of a batch of n input vectors (stride floats apart), kept
// while the next product reading the same inputs has the same block size.
// The buffer is the caller's: n * padded_cols floats of the widest tensor.
class RotatedBatch {
 public:
  explicit RotatedBatch(std::vector<float>* buf) : buf_(buf) {}
  void invalidate() { block_ = 0; }
  // Rows are rotated in parallel over the worker pool.
  std::span<const float> get(const CqTensor& t, const float* x, uint64_t n, uint64_t stride);
  // Rotates input j for t into its row, for callers that produce the inputs
  // in their own parallel loop; once every row is filled, mark_rotated(t)
  // lets get() hand them out for every tensor of t's block size.
  void rotate_row(const CqTensor& t, const float* x, uint64_t j);
  void mark_rotated(const CqTensor& t) { block_ = t.block(); }

 private:
  std::vector<float>* buf_;
  uint64_t block_ = 0;
};

}  // namespace vorpel::cq

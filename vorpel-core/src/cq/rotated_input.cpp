// Shared rotations of one input vector.
#include "vorpel/cq/rotated_input.hpp"

#include <algorithm>

#include "vorpel/core/panic.hpp"
#include "vorpel/cq/cq_kernels.hpp"
#include "vorpel/pool/worker_pool.hpp"

namespace vorpel::cq {

std::span<const float> RotatedInput::get(const CqTensor& t, std::span<const float> x) {
  for (size_t i = 0; i < used_; ++i)
    if (slots_[i].block == t.block()) return slots_[i].data;
  VORPEL_CHECK(used_ < slots_.size(), "rotated input: more block sizes than slots");
  Slot& s = slots_[used_++];
  s.block = t.block();
  s.data.resize(t.padded_cols());
  rotate_input(t, x, s.data);
  return s.data;
}

void RotatedInput::reserve_for(const CqTensor& t) {
  for (Slot& s : slots_) s.data.reserve(std::max<size_t>(s.data.capacity(), t.padded_cols()));
}

std::span<const float> RotatedBatch::get(const CqTensor& t, const float* x, uint64_t n, uint64_t stride) {
  const uint64_t pad = t.padded_cols();
  VORPEL_CHECK(buf_->size() >= n * pad, "rotated batch: buffer too small");
  if (block_ != t.block()) {
    pool::for_each_index(n, [&](uint64_t j) {
      rotate_input(t, {x + j * stride, t.cols()}, {buf_->data() + j * pad, pad});
    });
    block_ = t.block();
  }
  return {buf_->data(), n * pad};
}

void RotatedBatch::rotate_row(const CqTensor& t, const float* x, uint64_t j) {
  const uint64_t pad = t.padded_cols();
  VORPEL_CHECK(j < buf_->size() / std::max<uint64_t>(pad, 1), "rotated batch: buffer too small");
  rotate_input(t, {x, t.cols()}, {buf_->data() + j * pad, pad});
}

}  // namespace vorpel::cq

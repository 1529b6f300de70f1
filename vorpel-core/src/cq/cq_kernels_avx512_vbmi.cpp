// AVX-512 row kernel for 3-bit codes: with VBMI one byte permute spreads a
// half tile's 3-byte lanes into dwords (without it the dispatcher uses the
// 8-wide kernel, which beats the two-shuffle 16-wide decode).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#define VORPEL_AVX512 __attribute__((target("avx2,fma,f16c,avx512f,avx512bw,avx512dq,avx512vl,avx512vbmi")))
#define VORPEL_CQ_VBMI 1
#include "cq_avx512_rows.hpp"

namespace vorpel::cq::detail {

VORPEL_AVX512 void rows_avx512_vbmi(const View& v, const float* x_rot, uint64_t first, uint64_t count, float* y) {
  rows_bits<3>(v, x_rot, first, count, y);
}

}  // namespace vorpel::cq::detail

// Decoding errors of the CQ weight codec.
#pragma once

#include <cstdint>
#include <string>

namespace vorpel::cq {

struct CqError {
  enum class Kind : uint8_t { UnsupportedBits, BadGroup, BadCodebookLen, ShortBlob, EmptyShape };
  Kind kind;
  uint64_t value = 0;  // bits code / block size / codebook length / need
  uint64_t got = 0;    // ShortBlob only

  friend bool operator==(const CqError&, const CqError&) = default;
};

// "UnsupportedBits(6)", "BadGroup(12)", "BadCodebookLen(27)",
// "ShortBlob { need: 100, got: 99 }", "EmptyShape".
std::string debug_string(const CqError& e);

}  // namespace vorpel::cq

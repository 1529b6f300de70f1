// Telling the generations' model files apart: the two container versions by
// their tag, a first-generation safetensors file by its framing (an 8-byte
// header length that fits the file, then a JSON object). Anything else is
// handed to the second-generation reader, whose error names the tag it found.
#pragma once

#include <cstdint>
#include <span>

#include "vorpel/core/le_bytes.hpp"
#include "vorpel/trov/trov_image.hpp"

namespace vorpel::engine {

enum class Generation : uint8_t { First = 1, Second = 2, Third = 3 };

// True when the bytes start with either container tag.
inline bool has_container_tag(std::span<const uint8_t> bytes) {
  if (bytes.size() < 4) return false;
  const uint32_t tag = load_u32(bytes.data());
  return tag == trov::kTagV2 || tag == trov::kTagV3;
}

inline Generation detect_generation(std::span<const uint8_t> bytes) {
  if (bytes.size() >= 4) {
    const uint32_t tag = load_u32(bytes.data());
    if (tag == trov::kTagV2) return Generation::Second;
    if (tag == trov::kTagV3) return Generation::Third;
  }
  if (bytes.size() > 8) {
    const uint64_t header = load_u64(bytes.data());
    if (header <= bytes.size() - 8) {
      for (uint64_t i = 8; i < 8 + header; ++i) {
        const uint8_t c = bytes[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
        if (c == '{') return Generation::First;
        break;
      }
    }
  }
  return Generation::Second;
}

}  // namespace vorpel::engine

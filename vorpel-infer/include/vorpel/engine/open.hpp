// Telling the generations' model files apart: the two container versions by
// their tag, anything else is taken for a first-generation safetensors file.
#pragma once

#include <cstdint>
#include <span>

#include "vorpel/core/le_bytes.hpp"
#include "vorpel/trov/trov_image.hpp"

namespace vorpel::engine {

enum class Generation : uint8_t { First = 1, Second = 2, Third = 3 };

inline Generation detect_generation(std::span<const uint8_t> bytes) {
  if (bytes.size() >= 4) {
    const uint32_t tag = load_u32(bytes.data());
    if (tag == trov::kTagV2) return Generation::Second;
    if (tag == trov::kTagV3) return Generation::Third;
  }
  return Generation::First;
}

}  // namespace vorpel::engine

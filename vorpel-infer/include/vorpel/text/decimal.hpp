// Decimal number texts as the model files write them (metadata values, shape
// elements, vocabulary scores): the exact forms accepted and the rounding.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vorpel::text {

// An optional "+", then one or more decimal digits, within 64 bits; nothing
// else (no white space, no "-").
std::optional<uint64_t> parse_u64(std::string_view s);

// A decimal floating-point number as a 32-bit float: an optional sign, then
// "inf", "infinity" or "nan" in any case, or digits with an optional point (at
// least one digit on some side) and an optional exponent; no white space.
// Values beyond the float range become infinity or zero, as correct rounding
// gives them.
std::optional<float> parse_f32(std::string_view s);

}  // namespace vorpel::text

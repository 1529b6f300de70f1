// Why a generation ended, as data: one enumeration of conditions shared by
// the generations, and per generation the names its callers see.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorpel::engine {

enum class StopKind : uint8_t {
  Eos = 0,           // the end-of-sequence token was chosen
  ImEnd = 1,         // the chat end-of-turn marker was chosen
  MaxTokens = 2,     // the token budget was used up
  ContextLimit = 3,  // no position left in the context
  Error = 4,         // a model step failed (second generation only)
};

// A generation's stop-reason texts in enumeration order (Eos, ImEnd,
// MaxTokens, ContextLimit); Error renders as Error("message").
struct StopNames {
  std::array<std::string_view, 4> names;
};
inline constexpr StopNames kSecondGenerationStops{{"Eos", "ImEnd", "MaxTokens", "ContextFull"}};
inline constexpr StopNames kThirdGenerationStops{{"Eos", "ImEnd", "MaxTokens", "MaxSeqLen"}};

struct StopReason {
  StopKind kind = StopKind::MaxTokens;
  std::string message;  // only for Error

  std::string text(const StopNames& names) const;
  bool natural() const { return kind == StopKind::Eos || kind == StopKind::ImEnd; }
};

// Text form of an error message inside a stop reason: double quotes around
// it; quote, backslash and control characters escaped with a backslash.
std::string quote_message(std::string_view message);

}  // namespace vorpel::engine

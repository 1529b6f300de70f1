// Error values of the safetensors reader: header faults found by parse() and
// byte-range faults found when a tensor is requested.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorpel::st {

struct SafetensorsError {
  enum class Kind : uint8_t {
    BufferTooShort,      // fewer than 8 bytes
    TruncatedHeader,     // header length past the end of the buffer
    InvalidUtf8Header,
    ExpectedObject,      // trimmed header is not {...}
    MissingDtype,        // label = tensor name
    MissingShape,        // label = tensor name
    MissingDataOffsets,  // label = tensor name
    DataOffsetsCount,    // data_offsets did not hold exactly two numbers
    UnknownDtype,        // label = dtype text
    NoSuchTensor,        // label = tensor name (raw() of an absent name)
    RangeReversed,       // label = tensor name, begin > end
    RangeOutsideData,    // label = tensor name, end > data_len
  };

  Kind kind;
  std::string label;
  uint64_t begin = 0, end = 0, data_len = 0;

  static SafetensorsError of(Kind kind, std::string_view label = {});
  static SafetensorsError range_reversed(std::string_view name, uint64_t begin, uint64_t end);
  static SafetensorsError range_outside_data(std::string_view name, uint64_t begin, uint64_t end,
                                             uint64_t data_len);
};

// The user-visible text (what VorpelEngine raises as OSError).
std::string message(const SafetensorsError& e);

}  // namespace vorpel::st

// Exact texts of the safetensors reader errors.
#include "vorpel/safetensors/safetensors_error.hpp"

namespace vorpel::st {

using std::to_string;

SafetensorsError SafetensorsError::of(Kind kind, std::string_view label) {
  SafetensorsError e{};
  e.kind = kind;
  e.label = std::string(label);
  return e;
}

SafetensorsError SafetensorsError::range_reversed(std::string_view name, uint64_t begin,
                                                  uint64_t end) {
  SafetensorsError e = of(Kind::RangeReversed, name);
  e.begin = begin;
  e.end = end;
  return e;
}

SafetensorsError SafetensorsError::range_outside_data(std::string_view name, uint64_t begin,
                                                      uint64_t end, uint64_t data_len) {
  SafetensorsError e = range_reversed(name, begin, end);
  e.kind = Kind::RangeOutsideData;
  e.data_len = data_len;
  return e;
}

std::string message(const SafetensorsError& e) {
  using K = SafetensorsError::Kind;
  switch (e.kind) {
    case K::BufferTooShort: return "buffer too short";
    case K::TruncatedHeader: return "truncated header";
    case K::InvalidUtf8Header: return "invalid UTF-8 header";
    case K::ExpectedObject: return "expected JSON object";
    case K::MissingDtype: return "missing dtype for " + e.label;
    case K::MissingShape: return "missing shape for " + e.label;
    case K::MissingDataOffsets: return "missing data_offsets for " + e.label;
    case K::DataOffsetsCount: return "data_offsets must have 2 elements";
    case K::UnknownDtype: return "unknown dtype " + e.label;
    case K::NoSuchTensor: return "no tensor named " + e.label;
    case K::RangeReversed:
      return "tensor " + e.label + " has data_offsets [" + to_string(e.begin) + ", " +
             to_string(e.end) + "] that end before they begin";
    case K::RangeOutsideData:
      return "tensor " + e.label + " has data_offsets [" + to_string(e.begin) + ", " +
             to_string(e.end) + "] past the end of the " + to_string(e.data_len) +
             "-byte data section";
  }
  return "unknown safetensors error";
}

}  // namespace vorpel::st

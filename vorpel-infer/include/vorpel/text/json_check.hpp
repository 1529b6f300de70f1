// A strict JSON syntax check (RFC 8259: one value, optional white space
// around it), for front ends that want to refuse malformed input early. It
// parses nothing into memory; it only finds the first error.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vorpel::json {

struct SyntaxError {
  size_t offset;      // byte offset of the first offending byte
  std::string what;   // e.g. "expected ',' or ']'"
};

// Nothing when `text` is one well-formed JSON value.
std::optional<SyntaxError> check_syntax(std::string_view text);

// What a tools list must be: a JSON array whose elements are all objects.
// Returns nothing when it is, else a short description of the problem
// ("not valid JSON at byte 12: expected ':'", "not a JSON array", "element 2
// is not an object", "an empty array").
std::optional<std::string> check_tools_list(std::string_view text);

}  // namespace vorpel::json

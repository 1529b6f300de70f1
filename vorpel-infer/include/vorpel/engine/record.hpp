// A result as an ordered list of named values, the one shape both front ends
// print: the module turns it into a dict (keys in this order), the CLI into a
// JSON object, so `generate()` and `vorpel run` always show the same record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vorpel::engine {

struct None {};

using Value = std::variant<None, std::string, uint64_t, bool, float, std::vector<uint32_t>, std::vector<uint64_t>>;

struct Field {
  std::string_view key;  // a literal: records are built from fixed key tables
  Value value;
};

using Record = std::vector<Field>;

inline Value optional_text(const std::optional<std::string>& s) { return s ? Value(*s) : Value(None{}); }
inline Value optional_float(const std::optional<float>& f) { return f ? Value(*f) : Value(None{}); }

// One JSON object; floats in shortest round-trip form (non-finite as null).
std::string to_json(const Record& r);
void append_json(std::string& out, const Value& v);

}  // namespace vorpel::engine

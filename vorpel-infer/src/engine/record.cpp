// JSON form of result records.
#include "vorpel/engine/record.hpp"

#include <type_traits>

#include "vorpel/text/json_out.hpp"

namespace vorpel::engine {

void append_json(std::string& out, const Value& v) {
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, None>) {
          out += "null";
        } else if constexpr (std::is_same_v<T, std::string>) {
          json::json_string(out, x);
        } else if constexpr (std::is_same_v<T, bool>) {
          out += x ? "true" : "false";
        } else if constexpr (std::is_same_v<T, uint64_t>) {
          json::json_uint(out, x);
        } else if constexpr (std::is_same_v<T, float>) {
          json::json_float(out, x);
        } else {
          out += '[';
          for (size_t i = 0; i < x.size(); ++i) {
            if (i) out += ',';
            json::json_uint(out, x[i]);
          }
          out += ']';
        }
      },
      v);
}

std::string to_json(const Record& r) {
  std::string out = "{";
  for (size_t i = 0; i < r.size(); ++i) {
    if (i) out += ',';
    json::json_string(out, r[i].key);
    out += ':';
    append_json(out, r[i].value);
  }
  out += '}';
  return out;
}

}  // namespace vorpel::engine

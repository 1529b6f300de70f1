// Shallow scan of a tools JSON text for tool names and argument keys. It looks
// for fixed byte patterns rather than parsing JSON and never fails: anything
// it cannot read is skipped.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vorpel::constrained {

struct ToolRecord {
  std::string name;        // raw text after "name":" (escapes kept as written)
  std::string normalized;  // normalize_name(name)
  std::vector<std::string> keys;  // raw argument key texts, in order of appearance
};

// One record per tool object with a readable name, in order of appearance.
// Accepts an array of objects or a single object.
std::vector<ToolRecord> parse_tools(std::string_view tools_json);

// snake_case: getWeather -> get_weather, JSONParser -> json_parser,
// Get-Weather -> get_weather, get2Day -> get2_day, __x__ -> x. Non-ASCII
// letters are kept as they are (no case mapping); invalid UTF-8 reads as U+FFFD.
std::string normalize_name(std::string_view name);

}  // namespace vorpel::constrained

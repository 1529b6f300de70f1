// Helpers the subcommands share: reading text files and tools lists.
#include <cstdio>

#include "command.hpp"
#include "vorpel/io/read_file.hpp"
#include "vorpel/text/json_check.hpp"

namespace vorpel::cli {

std::optional<std::string> read_text_file(const std::string& path) {
  auto bytes = io::read_file(path);
  if (!bytes) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), io::message(bytes.error()).c_str());
    return std::nullopt;
  }
  return std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size());
}

std::optional<std::string> read_tools(const std::optional<std::string>& file,
                                      const std::optional<std::string>& inline_json) {
  std::optional<std::string> text = file ? read_text_file(*file) : inline_json;
  if (!text) return std::nullopt;
  if (auto problem = json::check_tools_list(*text)) {
    const std::string where = file ? "tools file " + *file : std::string("--tools");
    std::fprintf(stderr, "%s: %s; the tools must be a non-empty JSON array of tool objects\n", where.c_str(),
                 problem->c_str());
    return std::nullopt;
  }
  return text;
}

}  // namespace vorpel::cli

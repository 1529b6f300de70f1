// `vorpel prompt`: prints the chat prompt a query and a tools file produce.
#include <cstdio>
#include <optional>
#include <string>

#include "command.hpp"
#include "vorpel/engine/load_error.hpp"
#include "vorpel/chat/prompt.hpp"
#include "vorpel/io/read_file.hpp"

namespace {

using vorpel::message;

int run(const vorpel::cli::Args& args) {
  std::optional<std::string> query, tools_file, system;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::optional<std::string>* slot = a == "--query" ? &query
                                       : a == "--tools-file" ? &tools_file
                                       : a == "--system" ? &system
                                                         : nullptr;
    if (slot == nullptr || i + 1 >= args.size()) {
      std::fprintf(stderr, "vorpel prompt: %s '%s'\n", slot ? "missing value for" : "unknown argument",
                   a.c_str());
      return vorpel::cli::kExitUsage;
    }
    *slot = args[++i];
  }
  if (!query || !tools_file) {
    std::fprintf(stderr, "vorpel prompt: --query and --tools-file are required\n");
    return vorpel::cli::kExitUsage;
  }
  const auto tools = vorpel::cli::read_tools(tools_file, std::nullopt);
  if (!tools) return vorpel::cli::kExitLoad;
  const std::string_view tools_json(*tools);
  std::optional<std::string_view> sys;
  if (system) sys = *system;
  const std::string prompt = vorpel::chat::build_prompt(*query, tools_json, sys);
  std::fwrite(prompt.data(), 1, prompt.size(), stdout);
  return 0;
}

vorpel::cli::Registration reg{{"prompt",
                               "prompt --query Q --tools-file F [--system S]   print the chat prompt "
                               "exactly (no newline added)",
                               &run}};

}  // namespace

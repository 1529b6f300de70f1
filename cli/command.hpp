// Subcommand registry of the `vorpel` tool: each cmd_*.cpp registers itself
// with a static Registration, so subcommands live in their own files.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vorpel::cli {

using Args = std::vector<std::string>;  // arguments after the subcommand name

struct Command {
  std::string name;
  std::string usage;     // one line, shown by `vorpel --help`
  int (*run)(const Args& args);
  std::string help = {}; // what `vorpel NAME --help` adds below the usage line
};

std::vector<Command>& commands();

struct Registration {
  explicit Registration(Command c) { commands().push_back(std::move(c)); }
};

// A whole file as text; on failure prints "PATH: reason" and returns nothing.
std::optional<std::string> read_text_file(const std::string& path);

// The tools JSON of --tools-file F or --tools JSON, checked to be a JSON array
// of objects (the engines take any text; the tool refuses what cannot be a
// tool list); on failure prints why, naming the file, and returns nothing.
std::optional<std::string> read_tools(const std::optional<std::string>& file, const std::optional<std::string>& inline_json);

// Exit statuses: 0 success, 1 usage error, 2 container/load error, 3 internal error.
inline constexpr int kExitUsage = 1;
inline constexpr int kExitLoad = 2;
inline constexpr int kExitPanic = 3;

}  // namespace vorpel::cli

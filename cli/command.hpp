// Subcommand registry of the `vorpel` tool: each cmd_*.cpp registers itself
// with a static Registration, so subcommands live in their own files.
#pragma once

#include <string>
#include <vector>

namespace vorpel::cli {

using Args = std::vector<std::string>;  // arguments after the subcommand name

struct Command {
  std::string name;
  std::string usage;     // one line, shown by `vorpel --help`
  int (*run)(const Args& args);
};

std::vector<Command>& commands();

struct Registration {
  explicit Registration(Command c) { commands().push_back(std::move(c)); }
};

// Exit statuses: 0 success, 1 usage error, 2 container/load error, 3 internal error.
inline constexpr int kExitUsage = 1;
inline constexpr int kExitLoad = 2;
inline constexpr int kExitPanic = 3;

}  // namespace vorpel::cli

// `vorpel`: command-line front end over the same engine calls as the module.
#include <cstdio>
#include <exception>
#include <string>

#include "command.hpp"
#include "vorpel/core/panic.hpp"

namespace vorpel::cli {
std::vector<Command>& commands() {
  static std::vector<Command> all;
  return all;
}
}  // namespace vorpel::cli

namespace {
void usage() {
  std::fprintf(stderr, "usage: vorpel COMMAND [ARGS...]\n\ncommands:\n");
  for (const auto& c : vorpel::cli::commands()) std::fprintf(stderr, "  %s\n", c.usage.c_str());
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") {
    usage();
    return argc < 2 ? vorpel::cli::kExitUsage : 0;
  }
  const std::string name = argv[1];
  for (const auto& c : vorpel::cli::commands()) {
    if (c.name != name) continue;
    vorpel::cli::Args args(argv + 2, argv + argc);
    try {
      return c.run(args);
    } catch (const vorpel::Panic& p) {
      std::fprintf(stderr, "internal error: %s\n", p.what());
      return vorpel::cli::kExitPanic;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "internal error: %s\n", e.what());
      return vorpel::cli::kExitPanic;
    }
  }
  std::fprintf(stderr, "vorpel: unknown command '%s'\n", name.c_str());
  usage();
  return vorpel::cli::kExitUsage;
}

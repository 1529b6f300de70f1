// `vorpel`: command-line front end over the same engine calls as the module.
#include <algorithm>
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

void usage(std::FILE* out) {
  std::fprintf(out,
               "usage: vorpel COMMAND [ARGS...]   (vorpel COMMAND --help for one command; vorpel --version)\n\n"
               "Model files: a .trov container (second or third generation, told apart by its tag) or,\n"
               "where a command says so, a first-generation safetensors file.\n\ncommands:\n");
  auto all = vorpel::cli::commands();
  std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  for (const auto& c : all) std::fprintf(out, "  %s\n", c.usage.c_str());
  std::fprintf(out, "\nOutput is JSON (or the exact text) on stdout. Exit status: 0 success, 1 usage error,\n"
                    "2 file, container or load error (its message on stderr), 3 internal error.\n");
}

bool is_help(const std::string& a) { return a == "--help" || a == "-h"; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    usage(stderr);
    return vorpel::cli::kExitUsage;
  }
  const std::string first = argv[1];
  if (is_help(first)) {
    usage(stdout);
    return 0;
  }
  if (first == "--version") {
    std::printf("vorpel %s\n", VORPEL_VERSION);
    return 0;
  }
  for (const auto& c : vorpel::cli::commands()) {
    if (c.name != first) continue;
    vorpel::cli::Args args(argv + 2, argv + argc);
    if (std::any_of(args.begin(), args.end(), is_help)) {
      std::printf("usage: vorpel %s\n", c.usage.c_str());
      if (!c.help.empty()) std::printf("\n%s\n", c.help.c_str());
      return 0;
    }
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
  std::fprintf(stderr, "vorpel: unknown command '%s'\n\n", first.c_str());
  usage(stderr);
  return vorpel::cli::kExitUsage;
}

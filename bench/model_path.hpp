// The model file a benchmark runs on: its first argument once Google Benchmark
// has taken its own flags, else the named environment variable; empty when
// neither is set.
#pragma once

#include <cstdlib>
#include <string>

namespace benchutil {

inline std::string model_path(int argc, char** argv, const char* env_name = "VORPEL_V2_MODEL") {
  if (argc > 1 && argv[1][0] != '\0') return argv[1];
  if (const char* env = std::getenv(env_name)) return env;
  return {};
}

}  // namespace benchutil

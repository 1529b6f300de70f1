// The model file a benchmark runs on: its first argument once Google Benchmark
// has taken its own flags, else $VORPEL_V2_MODEL; empty when neither is set.
#pragma once

#include <cstdlib>
#include <string>

namespace benchutil {

inline std::string model_path(int argc, char** argv) {
  if (argc > 1 && argv[1][0] != '\0') return argv[1];
  if (const char* env = std::getenv("VORPEL_V2_MODEL")) return env;
  return {};
}

}  // namespace benchutil

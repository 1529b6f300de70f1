// Shared pieces of the model benchmarks. model_path: the model file a benchmark
// runs on: its first argument once Google Benchmark has taken its own flags,
// else the named environment variable; empty when neither is set.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace benchutil {

inline std::string model_path(int argc, char** argv, const char* env_name = "VORPEL_V2_MODEL") {
  if (argc > 1 && argv[1][0] != '\0') return argv[1];
  if (const char* env = std::getenv(env_name)) return env;
  return {};
}

// A fixed, spread-out token sequence of length n below vocab: the prompt every
// forward-pass benchmark feeds, so runs and generations compare like with like.
inline std::vector<uint32_t> tokens(size_t n, uint64_t vocab) {
  std::vector<uint32_t> t(n);
  for (size_t i = 0; i < n; ++i) t[i] = static_cast<uint32_t>((i * 7919 + 13) % vocab);
  return t;
}

}  // namespace benchutil

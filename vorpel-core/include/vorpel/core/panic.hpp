// The one exception type for violated internal preconditions (an index out of
// range, mismatched buffer lengths, an impossible state). Everything read from
// a file is validated before such code can see it; the Python module turns a
// Panic into PanicException and the CLI prints it and exits non-zero.
#pragma once

#include <stdexcept>
#include <string>

namespace vorpel {

class Panic : public std::runtime_error {
 public:
  explicit Panic(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] void panic(const std::string& message);

}  // namespace vorpel

// Precondition check that stays on in release builds.
#define VORPEL_CHECK(cond, message)        \
  do {                                     \
    if (!(cond)) ::vorpel::panic(message); \
  } while (0)

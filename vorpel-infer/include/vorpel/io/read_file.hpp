// Whole-file reads for the loaders. A failure is rendered the way the loaders
// report operating-system errors: "{strerror} (os error {errno})".
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

namespace vorpel::io {

// A failed file operation, already rendered.
struct IoError {
  std::string text;
};
inline const std::string& message(const IoError& e) { return e.text; }

std::expected<std::vector<uint8_t>, IoError> read_file(const std::string& path);

}  // namespace vorpel::io

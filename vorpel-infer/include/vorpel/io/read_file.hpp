// Whole-file reads for the loaders. A failure is rendered the way the loaders
// report operating-system errors: "{strerror} (os error {errno})".
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

namespace vorpel::io {

std::expected<std::vector<uint8_t>, std::string> read_file(const std::string& path);

}  // namespace vorpel::io

// Rendering of load errors.
#include "vorpel/engine/load_error.hpp"

namespace vorpel {

std::string message(const LoadError& e) {
  return std::visit([](const auto& cause) -> std::string { return message(cause); }, e);
}

}  // namespace vorpel

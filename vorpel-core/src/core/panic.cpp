#include "vorpel/core/panic.hpp"

namespace vorpel {

void panic(const std::string& message) { throw Panic(message); }

}  // namespace vorpel

// Unbuffered standard-error lines; bypasses stdio so nothing sits in a buffer
// behind output of the hosting process.
#include "vorpel/core/diagnostic.hpp"

#include <cerrno>
#include <string>
#include <unistd.h>

namespace vorpel {

void diagnostic_line(std::string_view line) {
  std::string buf;
  buf.reserve(line.size() + 1);
  buf.append(line);
  buf.push_back('\n');
  const char* p = buf.data();
  size_t left = buf.size();
  // A pipe may take a long line in pieces; an interrupted call is retried.
  while (left > 0) {
    const ssize_t n = ::write(2, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace vorpel

#include "vorpel/io/read_file.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorpel::io {

namespace {
IoError os_error(int code) { return {std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")"}; }
}  // namespace

std::expected<std::vector<uint8_t>, IoError> read_file(const std::string& path) {
  // open() would stop at an embedded NUL and silently read a different file.
  if (path.find('\0') != std::string::npos) return std::unexpected(IoError{"file name contained an unexpected NUL byte"});
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(os_error(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    int e = errno;
    ::close(fd);
    return std::unexpected(os_error(e));
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    return std::unexpected(os_error(EISDIR));
  }
  std::vector<uint8_t> data;
  if (st.st_size > 0) data.reserve(static_cast<size_t>(st.st_size));
  uint8_t buf[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::close(fd);
      return std::unexpected(os_error(e));
    }
    if (n == 0) break;
    data.insert(data.end(), buf, buf + n);
  }
  ::close(fd);
  return data;
}

}  // namespace vorpel::io

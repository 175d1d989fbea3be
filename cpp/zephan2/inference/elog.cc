#include "zephan2/inference/elog.h"

#include <unistd.h>

#include <cerrno>

#include "common/errors.h"

namespace z2 {

void write_all(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      throw halvane::OSError(errno);
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
}

void elog(std::span<const std::string_view> args) {
  std::string line(LOG_PREFIX);
  for (std::string_view a : args) {
    line += ' ';
    line += a;
  }
  line += '\n';
  write_all(2, line.data(), line.size());
}

}  // namespace z2

#include "zephan2/host/log.h"

#include <unistd.h>

#include <cerrno>

#include "common/errors.h"
#include "common/text.h"

namespace halvane::zephan2 {

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

std::string log_line(std::span<const std::string_view> args) {
  std::string line(LOG_PREFIX);
  for (std::string_view a : args) {
    line += ' ';
    // A log line stays one line whatever a path or member name holds:
    // control characters are written the way Python's repr writes them.
    for (unsigned char c : a) {
      if (c >= 0x20 && c != 0x7f) line += static_cast<char>(c);
      else if (c == '\t') line += '\t';
      else halvane::append_control_escape(line, c);
    }
  }
  line += '\n';
  return line;
}

int write_log(std::span<const std::string_view> args) {
  const std::string line = log_line(args);
  try {
    write_all(2, line.data(), line.size());
  } catch (const halvane::OSError& e) {
    return e.err;
  }
  return 0;
}

void elog(std::span<const std::string_view> args) { write_log(args); }

}  // namespace halvane::zephan2

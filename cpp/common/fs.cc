#include "common/fs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "common/errors.h"
#include "common/pyint.h"

namespace halvane {

namespace {

constexpr size_t kReadBlock = 65536;

struct Fd {
  int fd;
  ~Fd() { ::close(fd); }
};

}  // namespace

std::string read_regular_file(const std::string& path, size_t max_bytes) {
  if (path.find('\0') != std::string::npos) throw ValueError("embedded null byte");
  // Not blocking: opening a FIFO for reading would otherwise wait for a
  // writer. No controlling terminal either, should the path name one.
  int raw;
  do raw = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  while (raw < 0 && errno == EINTR);
  if (raw < 0) {
    const int err = errno;
    throw OSError(err, path);
  }
  const Fd f{raw};
  struct stat st;
  if (::fstat(f.fd, &st) != 0) {
    const int err = errno;
    throw OSError(err, path);
  }
  if (S_ISDIR(st.st_mode)) throw OSError(EISDIR, path);
  if (!S_ISREG(st.st_mode)) throw ValueError("not a regular file: " + py_repr(path));
  if (static_cast<uint64_t>(st.st_size) > max_bytes) throw OSError(EFBIG, path);

  // The size is only a hint: the file may change while it is read.
  std::string out;
  out.reserve(static_cast<size_t>(st.st_size));
  for (;;) {
    const size_t at = out.size();
    out.resize(at + kReadBlock);
    const ssize_t n = ::read(f.fd, out.data() + at, kReadBlock);
    const int err = errno;
    out.resize(at + static_cast<size_t>(n < 0 ? 0 : n));
    if (n < 0) {
      if (err == EINTR) continue;
      throw OSError(err);
    }
    if (n == 0) return out;
    if (out.size() > max_bytes) throw OSError(EFBIG, path);
  }
}

}  // namespace halvane

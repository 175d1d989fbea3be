#include "common/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/errors.h"
#include "common/text.h"

namespace halvane {

File::File(const std::string& path) : path_(path) {
  if (path.find('\0') != std::string::npos) throw ValueError("embedded null byte");
  // Not blocking: opening a FIFO for reading would otherwise wait for a
  // writer. No controlling terminal either, should the path name one.
  do fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) throw OSError(errno, path);
  struct stat st;
  const int err = ::fstat(fd_, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
  if (err || !S_ISREG(st.st_mode)) {
    ::close(fd_);
    if (err) throw OSError(err, path);
    throw ValueError("not a regular file: " + py_repr(path));
  }
  size_ = static_cast<uint64_t>(st.st_size);
  // Regular files never block; the flag only served the open.
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

namespace {

// Calls `op(dst + got, n - got, got)` until n bytes came or it returns 0 (end
// of file), retrying on EINTR.
template <class Op>
size_t read_fully(char* dst, size_t n, const std::string& path, Op op) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = op(dst + got, n - got, got);
    if (r < 0) {
      if (errno == EINTR) continue;
      throw OSError(errno, path);
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

}  // namespace

size_t File::read_at(char* dst, size_t n, uint64_t pos) const {
  return read_fully(dst, n, path_, [&](char* p, size_t k, size_t got) {
    return ::pread(fd_, p, k, static_cast<off_t>(pos + got));
  });
}

size_t File::read(char* dst, size_t n) const {
  return read_fully(dst, n, path_, [&](char* p, size_t k, size_t) { return ::read(fd_, p, k); });
}

std::string read_regular_file(const std::string& path, uint64_t max_bytes) {
  const File f(path);
  auto too_large = [&] { return OSError(EFBIG, path); };
  if (f.size() > max_bytes) throw too_large();
  std::string out(static_cast<size_t>(f.size()) + 1, '\0');  // one byte more shows growth
  size_t got = f.read(out.data(), out.size());
  while (got == out.size()) {
    if (out.size() > max_bytes) throw too_large();
    out.resize(std::min<uint64_t>(out.size() * 2, max_bytes + 1));
    got += f.read(out.data() + got, out.size() - got);
  }
  out.resize(got);
  if (got > max_bytes) throw too_large();
  return out;
}

}  // namespace halvane

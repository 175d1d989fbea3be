// A read-only file descriptor on a regular file, and whole-file reads.
//
// Opening never blocks and never follows a path into a device, FIFO or
// directory: the file is opened with O_NONBLOCK, its type is checked on the
// descriptor, and anything but a regular file is refused. Reads retry on EINTR.
//
// Thread contract: a File is used by one thread at a time; pread-style reads
// (`read_at`) do not move a shared position.
#pragma once

#include <cstdint>
#include <string>

namespace halvane {

class File {
 public:
  // Raises OSError when the path cannot be opened (EISDIR for a directory),
  // ValueError for a path with a NUL byte or naming anything else that is not
  // a regular file.
  explicit File(const std::string& path);
  ~File();
  File(File&& o) noexcept : fd_(o.fd_), size_(o.size_), path_(std::move(o.path_)) { o.fd_ = -1; }
  File& operator=(File&&) = delete;
  File(const File&) = delete;

  int fd() const { return fd_; }
  uint64_t size() const { return size_; }  // at opening
  const std::string& path() const { return path_; }

  // Up to n bytes from `pos`; fewer only at the end of the file.
  size_t read_at(char* dst, size_t n, uint64_t pos) const;
  // Up to n bytes from the current position; fewer only at the end.
  size_t read(char* dst, size_t n) const;

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
  std::string path_;
};

// The whole content of a regular file. A file larger than `max_bytes` (at
// opening, or grown while being read) is refused with OSError(EFBIG).
std::string read_regular_file(const std::string& path, uint64_t max_bytes);

}  // namespace halvane

// File-system questions asked the way the host's paths are meant: symbolic
// links followed, every failure a plain "no", paths joined textually; and the
// whole content of a file that must be a regular file.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace halvane {

inline bool has_kind(const std::string& p, mode_t kind) {
  struct stat st;
  return p.find('\0') == std::string::npos && ::stat(p.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == kind;
}
inline bool is_dir(const std::string& p) { return has_kind(p, S_IFDIR); }
inline bool is_regular_file(const std::string& p) { return has_kind(p, S_IFREG); }

// `dir` and `name` joined by one "/" (none added after a trailing "/").
inline std::string join_path(std::string_view dir, std::string_view name) {
  std::string r(dir);
  if (!r.empty() && r.back() != '/') r += '/';
  return r += name;
}

// The part after the last "/" (the whole text when there is none).
inline std::string_view last_component(std::string_view p) {
  const size_t s = p.rfind('/');
  return s == std::string_view::npos ? p : p.substr(s + 1);
}

// The bytes of `path`, which must be a regular file (symbolic links followed)
// of at most `max_bytes`. Nothing else is read or waited for: the file is
// opened without blocking, so a FIFO, a device or a socket is refused at once
// instead of hanging or streaming without end. Raises halvane::OSError (errno
// and the path; a read error carries no path, as Python's reads do) — EISDIR
// for a directory, EFBIG past `max_bytes` — and halvane::ValueError for a path
// holding a NUL byte or naming anything else that is not a regular file.
std::string read_regular_file(const std::string& path, size_t max_bytes);

}  // namespace halvane
